// Just the Win32 names this program uses, with their Windows sizes and values,
// for building and testing the logic on a system without <windows.h>.
// Nothing here talks to an operating system.
#pragma once

#include <cstdint>

#define WINAPI

using LONG = std::int32_t;   // 32 bits on Windows, unlike Linux's long
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BYTE = std::uint8_t;
using REGSAM = DWORD;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

// Handles are pointers to types never defined, as in <windows.h>.
struct StandInKey;
using HKEY = StandInKey*;
using PHKEY = HKEY*;
struct StandInWindow;
using HWND = StandInWindow*;

// Windows makes the predefined keys from sign-extended 32-bit constants.
inline HKEY StandInPredefinedKey(LONG value) {
    return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(value));  // NOLINT(performance-no-int-to-ptr)
}
#define HKEY_CURRENT_USER StandInPredefinedKey(static_cast<LONG>(0x80000001U))

constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_MORE_DATA = 234;

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr int IDOK = 1;
