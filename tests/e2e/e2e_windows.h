// The Windows-side tools of the end-to-end driver: the registry key as the
// program sees it, and the program's process and message box as a user sees
// them. Every wait here is bounded.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<BYTE>;

Bytes operator+(Bytes head, const Bytes& tail);

extern const char kKeyPath[];
extern const char kValueName[];

struct RegistryValue {
    DWORD type = REG_NONE;
    Bytes data;
    bool operator==(const RegistryValue& other) const { return type == other.type && data == other.data; }
};

// Every value of HKCU "Control Panel\desktop\windowmetrics", by name.
struct KeySnapshot {
    bool exists = false;
    DWORD subkeyCount = 0;
    std::map<std::string, RegistryValue> values;
};

bool ReadKey(KeySnapshot& snapshot, std::string& error);
bool WriteKey(const KeySnapshot& snapshot, std::string& error);  // creates the key, sets every value
bool DeleteKey(std::string& error);                              // the key and all below it; absent is fine
bool DeleteValue(std::string& error);                            // "Shell Icon Size" alone; absent is fine
bool SameKey(const KeySnapshot& expected, const KeySnapshot& actual, std::string& error);
std::string Describe(const RegistryValue& value);  // its type, as text when it is text, and its bytes

// Waits, bounded, until the session's start-up programs are done with the
// registry: Wine's wineboot writes desktop settings, this key among them,
// each time its server starts.
bool WaitForQuietSession(std::string& error);

// One run of the program under test.
struct ProgramRun {
    PROCESS_INFORMATION process = {};
    HWND box = nullptr;
    DWORD exitCode = STILL_ACTIVE;
    int retries = 0;  // launches that Wine refused and StartProgram tried again
};

// How StartProgram starts a process: CreateProcessA itself, or a stand-in
// with its signature that refuses launches as a test scripts it.
using CreateProcessFunction = decltype(&::CreateProcessA);

// Starts `exe` with `arguments` after its quoted name. When Wine itself
// could not start the process, whatever the program, it prints one line
// saying so, waits a second and tries again, at most twice; any other
// failure (a bad image, a missing file, access denied) fails at once.
bool StartProgram(const std::string& exe, const std::string& arguments, ProgramRun& run, std::string& error,
                  CreateProcessFunction createProcess = &::CreateProcessA);
// Waits for the program's top-level, unowned "#32770" window with a caption.
bool WaitForNotice(ProgramRun& run, std::string& error);
// The caption and text bytes, one visible button (OK), the information icon.
bool CheckNotice(const ProgramRun& run, const std::string& caption, const std::string& text, std::string& error);
bool PressOk(const ProgramRun& run, std::string& error);
bool WaitForExit(ProgramRun& run, std::string& error);
void EndProgram(ProgramRun& run);  // ends a program still running, closes handles

// What Windows' own Authenticode check, WinVerifyTrust with
// WINTRUST_ACTION_GENERIC_VERIFY_V2, says of the file: 0 when its signature
// holds, else the HRESULT (TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, ...).
LONG VerifyTrust(const std::string& path);

bool SaveWindowBitmap(HWND window, const std::string& path, std::string& error);
bool SaveText(const ProgramRun& run, const std::string& path, std::string& error);
