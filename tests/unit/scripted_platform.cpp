#include "tests/unit/scripted_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

ScriptedPlatform* current = nullptr;

ScriptedPlatform& Current() {
    if (current == nullptr) {
        std::fprintf(stderr, "a platform function was called with no ScriptedPlatform installed\n");
        std::abort();
    }
    return *current;
}

}  // namespace

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string HexOf(const Bytes& bytes) {
    std::string hex;
    char digits[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += hex.empty() ? "" : " ";
        hex += digits;
    }
    return hex.empty() ? "(no bytes)" : hex;
}

HKEY ScriptedKey() { return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x5ca1ab1e)); }

ScriptedPlatform::ScriptedPlatform(PlatformScript script) : script_(std::move(script)) { current = this; }

ScriptedPlatform::~ScriptedPlatform() { current = nullptr; }

RegistryApi ScriptedPlatform::Registry() { return RegistryApi{&Open, &Query, &Set, &Close}; }

int(WINAPI* ScriptedPlatform::MessageBox())(HWND, LPCSTR, LPCSTR, UINT) { return &Box; }

std::vector<std::string> ScriptedPlatform::CallNames() const {
    std::vector<std::string> names;
    for (const PlatformCall& call : calls_) {
        names.push_back(call.function);
    }
    return names;
}

int ScriptedPlatform::CountOf(const std::string& function) const {
    int count = 0;
    for (const PlatformCall& call : calls_) {
        count += call.function == function ? 1 : 0;
    }
    return count;
}

PlatformCall& ScriptedPlatform::Record(const char* function) {
    calls_.emplace_back();
    calls_.back().function = function;
    return calls_.back();
}

LONG WINAPI ScriptedPlatform::Open(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    ScriptedPlatform& self = Current();
    PlatformCall& call = self.Record("RegOpenKeyExA");
    call.key = root;
    call.name = subKey;
    call.options = options;
    call.access = access;
    // Like the real function, a failed open leaves no usable handle behind.
    *result = self.script_.openStatus == ERROR_SUCCESS ? ScriptedKey() : nullptr;
    return self.script_.openStatus;
}

LONG WINAPI ScriptedPlatform::Query(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD size) {
    ScriptedPlatform& self = Current();
    PlatformCall& call = self.Record("RegQueryValueExA");
    call.key = key;
    call.name = valueName;
    call.reservedPointerNull = reserved == nullptr;
    call.typePointerGiven = type != nullptr;
    call.sizeIn = *size;
    // Fill the whole buffer the caller claims to have, so that a smaller one
    // shows up under AddressSanitizer; with digits, so that parsing past the
    // delivered bytes changes the number.
    std::memset(data, '9', *size);
    if (type != nullptr) {
        *type = REG_BINARY;  // never examined; any type reads the same
    }
    if (self.script_.queryStatus != ERROR_SUCCESS) {
        return self.script_.queryStatus;
    }
    const auto length = static_cast<DWORD>(self.script_.value.size());
    if (length > *size) {
        *size = length;
        return ERROR_MORE_DATA;
    }
    if (length > 0) {
        std::memcpy(data, self.script_.value.data(), length);
    }
    *size = self.script_.reportedSize != 0 ? self.script_.reportedSize : length;
    return ERROR_SUCCESS;
}

LONG WINAPI ScriptedPlatform::Set(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                  DWORD size) {
    ScriptedPlatform& self = Current();
    PlatformCall& call = self.Record("RegSetValueExA");
    call.key = key;
    call.name = valueName;
    call.reserved = reserved;
    call.type = type;
    call.data.assign(data, data + size);
    return self.script_.setStatus;
}

LONG WINAPI ScriptedPlatform::Close(HKEY key) {
    Current().Record("RegCloseKey").key = key;
    return ERROR_SUCCESS;
}

int WINAPI ScriptedPlatform::Box(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    PlatformCall& call = Current().Record("MessageBoxA");
    call.owner = owner;
    call.text = text;
    call.caption = caption;
    call.style = style;
    return IDOK;
}
