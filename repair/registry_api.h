// The seam between the repair procedure and the registry: a table of the four
// advapi32 functions it calls. On Windows the table holds advapi32's own
// functions; tests fill it with a scripted registry.
#pragma once

#include "platform/windows_api.h"

struct RegistryApi {
    LONG(WINAPI* RegOpenKeyExA)(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
    LONG(WINAPI* RegQueryValueExA)(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                   LPDWORD size);
    LONG(WINAPI* RegSetValueExA)(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                 DWORD size);
    LONG(WINAPI* RegCloseKey)(HKEY key);
};

#ifdef _WIN32
// The real registry of the current user.
inline RegistryApi PlatformRegistryApi() {
    return RegistryApi{.RegOpenKeyExA = &::RegOpenKeyExA,
                       .RegQueryValueExA = &::RegQueryValueExA,
                       .RegSetValueExA = &::RegSetValueExA,
                       .RegCloseKey = &::RegCloseKey};
}
#endif
