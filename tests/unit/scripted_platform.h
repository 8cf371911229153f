// A scripted stand-in for the registry and the message box: it answers each
// call as the test's script says and records every call with its arguments,
// in order, so that tests can check what the program asked of the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repair/registry_api.h"

using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const std::string& text);  // the text's bytes, without a NUL
std::string HexOf(const Bytes& bytes);   // "33 32 00"

struct PlatformScript {
    LONG openStatus = ERROR_SUCCESS;
    LONG queryStatus = ERROR_SUCCESS;
    Bytes value = {};  // delivered by a successful read; longer than the buffer gives ERROR_MORE_DATA
    DWORD reportedSize = 0;  // when not 0, the size a successful read reports instead of the value's
    LONG setStatus = ERROR_SUCCESS;
};

// One recorded call. Only the fields that the call passes are filled.
struct PlatformCall {
    std::string function;
    HKEY key = nullptr;
    std::string name;  // subkey path or value name, as the bytes passed
    DWORD options = 0xBDBDBDBD;
    REGSAM access = 0xBDBDBDBD;
    bool reservedPointerNull = false;
    bool typePointerGiven = false;
    DWORD sizeIn = 0xBDBDBDBD;
    DWORD reserved = 0xBDBDBDBD;
    DWORD type = 0xBDBDBDBD;
    Bytes data;
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT style = 0xBDBDBDBD;
};

// The handle the scripted open hands out.
HKEY ScriptedKey();

// Installs itself as the platform that the function tables below reach; one
// at a time.
class ScriptedPlatform {
public:
    explicit ScriptedPlatform(PlatformScript script);
    ~ScriptedPlatform();
    ScriptedPlatform(const ScriptedPlatform&) = delete;
    ScriptedPlatform& operator=(const ScriptedPlatform&) = delete;

    static RegistryApi Registry();
    static int(WINAPI* MessageBox())(HWND, LPCSTR, LPCSTR, UINT);

    const std::vector<PlatformCall>& Calls() const { return calls_; }
    std::vector<std::string> CallNames() const;
    int CountOf(const std::string& function) const;

    // The scripted functions themselves.
    static LONG WINAPI Open(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
    static LONG WINAPI Query(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD size);
    static LONG WINAPI Set(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
    static LONG WINAPI Close(HKEY key);
    static int WINAPI Box(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

private:
    PlatformCall& Record(const char* function);

    PlatformScript script_;
    std::vector<PlatformCall> calls_;
};
