#include <algorithm>

#include "repair/repair.h"

namespace {

constexpr char kSubKey[] = "Control Panel\\desktop\\windowmetrics";
constexpr DWORD kOpenOptions = 0;
constexpr char kValueName[] = "Shell Icon Size";
constexpr DWORD kReadBufferSize = 256;
constexpr DWORD kWriteReserved = 0;
// "%d" of 32 with its terminating NUL, which REG_SZ data counts.
constexpr BYTE kRepairText[] = {'3', '2', '\0'};

// Everything done while the key is open; the caller closes it afterwards, so
// every return here leads to exactly one close.
RepairOutcome RepairOpenKey(const RegistryApi& registry, HKEY key) {
    BYTE data[kReadBufferSize];
    DWORD size = kReadBufferSize;
    DWORD type = 0;  // reported by the read, never examined: the bytes are read as text
    if (registry.RegQueryValueExA(key, kValueName, nullptr, &type, data, &size) != ERROR_SUCCESS) {
        return RepairOutcome::Succeeded;  // absent, too long or unreadable: nothing to repair
    }
    // The read never reports more than the buffer holds; should it, parse no
    // further than the buffer.
    if (ParseIconSizeText(data, std::min(size, kReadBufferSize)) != 0) {
        return RepairOutcome::Succeeded;
    }
    const LONG written = registry.RegSetValueExA(key, kValueName, kWriteReserved, REG_SZ, kRepairText,
                                                 static_cast<DWORD>(sizeof kRepairText));
    return written == ERROR_SUCCESS ? RepairOutcome::Succeeded : RepairOutcome::Failed;
}

}  // namespace

RepairOutcome RepairShellIconSize(const RegistryApi& registry) {
    HKEY key = nullptr;
    if (registry.RegOpenKeyExA(HKEY_CURRENT_USER, kSubKey, kOpenOptions, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return RepairOutcome::Failed;  // no handle was produced: nothing to close
    }
    const RepairOutcome outcome = RepairOpenKey(registry, key);
    registry.RegCloseKey(key);  // its status tells us nothing we could act on
    return outcome;
}
