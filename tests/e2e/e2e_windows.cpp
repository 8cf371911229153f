#include "tests/e2e/e2e_windows.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <softpub.h>
#include <tlhelp32.h>
#include <wintrust.h>

const char kKeyPath[] = "Control Panel\\desktop\\windowmetrics";
const char kValueName[] = "Shell Icon Size";

namespace {

constexpr DWORD kBoxTimeoutMs = 30000;  // the first run in a fresh prefix is the slowest
constexpr DWORD kExitTimeoutMs = 15000;
constexpr DWORD kPaintTimeoutMs = 5000;
constexpr DWORD kSessionTimeoutMs = 60000;
constexpr DWORD kPollMs = 1;
constexpr int kLaunchRetries = 2;
constexpr DWORD kLaunchRetryWaitMs = 1000;
constexpr int kTextControlId = 0xFFFF;

std::string Hex(const Bytes& bytes) {
    std::string hex;
    char digits[4];
    for (BYTE byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += hex.empty() ? "" : " ";
        hex += digits;
    }
    return hex.empty() ? "(no bytes)" : hex;
}

std::string Status(const char* call, LONG status) { return std::string(call) + " returned " + std::to_string(status); }

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window) {
    char text[1024] = {};
    const int length = GetWindowTextA(window, text, sizeof text);
    return std::string(text, length > 0 ? length : 0);
}

BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

// Names every child of the box, for failure messages.
std::string DescribeChildren(HWND box) {
    std::string description;
    for (HWND child : ChildrenOf(box)) {
        char line[160];
        std::snprintf(line, sizeof line, "\n    %s id %d style %08lX%s \"%s\"", ClassOf(child).c_str(),
                      GetDlgCtrlID(child), static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
                      IsWindowVisible(child) ? "" : " (hidden)", TextOf(child).c_str());
        description += line;
    }
    return description;
}

// Whether CreateProcessA failed because Wine could not start a process just
// then, whatever the program. Wine's NtCreateUserProcess
// (dlls/ntdll/unix/process.c) gives STATUS_INTERNAL_ERROR, which is
// ERROR_INTERNAL_ERROR here, when the new process went away before it had
// started without leaving an exit status: the wineserver ends a process whose
// connection closes with exit code 0 (server/process.c). It gives
// STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY here, when fork() fails. Any
// other error belongs to the program or its file.
bool WineRefusedLaunch(DWORD error) { return error == ERROR_INTERNAL_ERROR || error == ERROR_NOT_ENOUGH_MEMORY; }

bool ProcessEnded(const ProgramRun& run) { return WaitForSingleObject(run.process.hProcess, 0) == WAIT_OBJECT_0; }

// A top-down 32-bit bitmap of the given size.
BITMAPINFO PixelFormat(int width, int height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// 32-bit pixels of a screen rectangle.
std::vector<DWORD> CaptureScreen(const RECT& rect) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info = PixelFormat(width, height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The pixels `icon` gives when drawn the way a static control draws it, over
// a plain background.
std::vector<DWORD> RenderIcon(HICON icon, int width, int height, DWORD background) {
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height, background);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    const BITMAPINFO info = PixelFormat(width, height);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    std::memcpy(bits, pixels.data(), pixels.size() * sizeof(DWORD));
    DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    GdiFlush();
    std::memcpy(pixels.data(), bits, pixels.size() * sizeof(DWORD));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

int Mismatches(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    int count = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        count += (a[i] & 0xFFFFFF) != (b[i] & 0xFFFFFF) ? 1 : 0;
    }
    return count;
}

// An icon handle of another process means nothing here, so the icon is told
// by its pixels: the control's pixels on the screen are compared with each
// of the four message box icons drawn here, and must match the information
// icon exactly and no other.
bool CheckInformationIcon(HWND iconControl, std::string& error) {
    struct Candidate {
        const char* name;
        LPCSTR id;
    };
    const Candidate candidates[] = {{"error", IDI_HAND},
                                    {"question", IDI_QUESTION},
                                    {"warning", IDI_EXCLAMATION},
                                    {"information", IDI_ASTERISK}};
    RECT rect;
    GetWindowRect(iconControl, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        error = "the icon control has no area";
        return false;
    }
    std::string scores;
    const DWORD deadline = GetTickCount() + kPaintTimeoutMs;
    do {
        const std::vector<DWORD> shown = CaptureScreen(rect);
        // The icons leave their corners clear, so a corner shows the background.
        const DWORD background = shown[0];
        scores.clear();
        int informationMismatches = -1;
        int closestOther = width * height;
        for (const Candidate& candidate : candidates) {
            const int mismatches =
                Mismatches(shown, RenderIcon(LoadIconA(nullptr, candidate.id), width, height, background));
            scores += std::string(scores.empty() ? "" : ", ") + candidate.name + " " + std::to_string(mismatches);
            if (std::string(candidate.name) == "information") {
                informationMismatches = mismatches;
            } else if (mismatches < closestOther) {
                closestOther = mismatches;
            }
        }
        if (informationMismatches == 0 && closestOther > 0) {
            return true;
        }
        Sleep(50);  // the box may not have painted yet
    } while (GetTickCount() < deadline);
    error = "the icon is not the information icon (pixels differing from each icon: " + scores + ")";
    return false;
}

HWND FindOkButton(HWND box, int& visibleButtons) {
    HWND ok = nullptr;
    visibleButtons = 0;
    for (HWND child : ChildrenOf(box)) {
        if (ClassOf(child) == "Button" && IsWindowVisible(child)) {
            ++visibleButtons;
            ok = GetDlgCtrlID(child) == IDOK ? child : ok;
        }
    }
    return ok;
}

HWND FindIconControl(HWND box) {
    for (HWND child : ChildrenOf(box)) {
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        if (ClassOf(child) == "Static" && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) {
            return child;
        }
    }
    return nullptr;
}

struct BoxSearch {
    DWORD processId;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && ClassOf(window) == "#32770" && IsWindowVisible(window)) {
        search->boxes.push_back(window);
    }
    return TRUE;
}

}  // namespace

Bytes operator+(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string Describe(const RegistryValue& value) {
    static const char* const kTypeNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD"};
    std::string description =
        value.type < 5 ? kTypeNames[value.type] : "type " + std::to_string(value.type);
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        const auto nul = std::find(value.data.begin(), value.data.end(), 0);
        description += " \"" + std::string(value.data.begin(), nul) + "\"";
    }
    return description + " [" + Hex(value.data) + "]";
}

bool ReadKey(KeySnapshot& snapshot, std::string& error) {
    snapshot = KeySnapshot{};
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (opened != ERROR_SUCCESS) {
        error = Status("RegOpenKeyExA", opened);
        return false;
    }
    snapshot.exists = true;
    DWORD valueCount = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &snapshot.subkeyCount, nullptr, nullptr,
                                   &valueCount, &longestName, &longestData, nullptr, nullptr);
    for (DWORD index = 0; status == ERROR_SUCCESS && index < valueCount; ++index) {
        std::string name(longestName + 1, '\0');
        DWORD nameLength = longestName + 1;
        RegistryValue value;
        value.data.resize(longestData + 1);
        DWORD dataLength = longestData + 1;
        status = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &value.type, value.data.data(),
                               &dataLength);
        name.resize(nameLength);
        value.data.resize(dataLength);
        snapshot.values[name] = value;
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        error = Status("reading the key's values", status);
        return false;
    }
    return true;
}

bool WriteKey(const KeySnapshot& snapshot, std::string& error) {
    HKEY key = nullptr;
    LONG status =
        RegCreateKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        error = Status("RegCreateKeyExA", status);
        return false;
    }
    for (const auto& [name, value] : snapshot.values) {
        status = RegSetValueExA(key, name.c_str(), 0, value.type, value.data.data(),
                                static_cast<DWORD>(value.data.size()));
        if (status != ERROR_SUCCESS) {
            error = Status("RegSetValueExA", status) + " for \"" + name + "\"";
            break;
        }
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool DeleteKey(std::string& error) {
    LONG status = RegDeleteTreeA(HKEY_CURRENT_USER, kKeyPath);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteKeyA(HKEY_CURRENT_USER, kKeyPath);
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        error = Status("deleting the key", status);
        return false;
    }
    return true;
}

bool DeleteValue(std::string& error) {
    const LONG status = RegDeleteKeyValueA(HKEY_CURRENT_USER, kKeyPath, kValueName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        error = Status("RegDeleteKeyValueA", status);
        return false;
    }
    return true;
}

bool SameKey(const KeySnapshot& expected, const KeySnapshot& actual, std::string& error) {
    if (expected.exists != actual.exists) {
        error = actual.exists ? "the key appeared" : "the key disappeared";
        return false;
    }
    for (const auto& [name, value] : expected.values) {
        const auto found = actual.values.find(name);
        if (found == actual.values.end()) {
            error = "\"" + name + "\" disappeared; it held " + Describe(value);
            return false;
        }
        if (!(found->second == value)) {
            error = "\"" + name + "\" holds " + Describe(found->second) + ", expected " + Describe(value);
            return false;
        }
    }
    for (const auto& [name, value] : actual.values) {
        if (expected.values.count(name) == 0) {
            error = "\"" + name + "\" appeared with " + Describe(value);
            return false;
        }
    }
    if (expected.subkeyCount != actual.subkeyCount) {
        error = "the key's subkeys changed";
        return false;
    }
    return true;
}

bool WaitForQuietSession(std::string& error) {
    GetDesktopWindow();  // starts the desktop when it is not up yet
    const DWORD deadline = GetTickCount() + kSessionTimeoutMs;
    for (;;) {
        bool busy = false;
        HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(processes, &entry); more; more = Process32Next(processes, &entry)) {
            busy = busy || lstrcmpiA(entry.szExeFile, "wineboot.exe") == 0;
        }
        CloseHandle(processes);
        if (!busy) {
            return true;
        }
        if (GetTickCount() >= deadline) {
            error = "wineboot.exe still running after " + std::to_string(kSessionTimeoutMs / 1000) + " s";
            return false;
        }
        Sleep(50);
    }
}

bool StartProgram(const std::string& exe, const std::string& arguments, ProgramRun& run, std::string& error,
                  CreateProcessFunction createProcess) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    for (;;) {
        std::string commandLine = "\"" + exe + "\"" + arguments;  // CreateProcessA may write to it
        if (createProcess(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &run.process)) {
            error.clear();
            return true;
        }
        const DWORD failure = GetLastError();
        error = "CreateProcessA failed with " + std::to_string(failure) + " for " + exe;
        if (!WineRefusedLaunch(failure) || run.retries == kLaunchRetries) {
            if (run.retries > 0) {
                error += " (tried " + std::to_string(run.retries + 1) + " times)";
            }
            return false;
        }
        ++run.retries;
        std::printf("retry %s: Wine could not start the process; trying again in %lu s (%d of %d)\n", error.c_str(),
                    static_cast<unsigned long>(kLaunchRetryWaitMs / 1000), run.retries, kLaunchRetries);
        std::fflush(stdout);
        Sleep(kLaunchRetryWaitMs);
    }
}

bool WaitForNotice(ProgramRun& run, std::string& error) {
    const DWORD deadline = GetTickCount() + kBoxTimeoutMs;
    for (;;) {
        BoxSearch search{run.process.dwProcessId, {}};
        EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
        if (search.boxes.size() > 1) {
            error = std::to_string(search.boxes.size()) + " dialog windows, expected one";
            return false;
        }
        if (search.boxes.size() == 1) {
            run.box = search.boxes[0];
            return true;
        }
        if (ProcessEnded(run)) {
            GetExitCodeProcess(run.process.hProcess, &run.exitCode);
            error = "the program ended (exit code " + std::to_string(run.exitCode) + ") without showing a box";
            return false;
        }
        if (GetTickCount() >= deadline) {
            error = "no message box within " + std::to_string(kBoxTimeoutMs / 1000) + " s";
            return false;
        }
        Sleep(kPollMs);
    }
}

bool CheckNotice(const ProgramRun& run, const std::string& caption, const std::string& text, std::string& error) {
    const std::string shownCaption = TextOf(run.box);
    if (shownCaption != caption) {
        error = "caption [" + Hex(Bytes(shownCaption.begin(), shownCaption.end())) + "]";
        return false;
    }
    if (GetWindow(run.box, GW_OWNER) != nullptr) {
        error = "the box has an owner window";
        return false;
    }
    const std::string shownText = TextOf(GetDlgItem(run.box, kTextControlId));
    if (shownText != text) {
        error = "text [" + Hex(Bytes(shownText.begin(), shownText.end())) + "], expected [" +
                Hex(Bytes(text.begin(), text.end())) + "]" + DescribeChildren(run.box);
        return false;
    }
    int visibleButtons = 0;
    if (FindOkButton(run.box, visibleButtons) == nullptr || visibleButtons != 1) {
        error = std::to_string(visibleButtons) + " visible buttons, expected OK alone" + DescribeChildren(run.box);
        return false;
    }
    const HWND icon = FindIconControl(run.box);
    if (icon == nullptr) {
        error = "no icon" + DescribeChildren(run.box);
        return false;
    }
    return CheckInformationIcon(icon, error);
}

bool PressOk(const ProgramRun& run, std::string& error) {
    int visibleButtons = 0;
    const HWND ok = FindOkButton(run.box, visibleButtons);
    if (ok == nullptr) {
        error = "no OK button to press";
        return false;
    }
    if (!PostMessageA(run.box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok))) {
        error = "PostMessageA failed with " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

bool WaitForExit(ProgramRun& run, std::string& error) {
    if (WaitForSingleObject(run.process.hProcess, kExitTimeoutMs) != WAIT_OBJECT_0) {
        error = "the program did not end within " + std::to_string(kExitTimeoutMs / 1000) + " s of OK";
        return false;
    }
    GetExitCodeProcess(run.process.hProcess, &run.exitCode);
    return true;
}

void EndProgram(ProgramRun& run) {
    if (run.process.hProcess == nullptr) {
        return;
    }
    if (!ProcessEnded(run)) {
        TerminateProcess(run.process.hProcess, 1);
        WaitForSingleObject(run.process.hProcess, kExitTimeoutMs);
    }
    CloseHandle(run.process.hThread);
    CloseHandle(run.process.hProcess);
    run.process = {};
}

LONG VerifyTrust(const std::string& path) {
    const std::wstring widePath(path.begin(), path.end());  // the paths here are ASCII
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = widePath.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;  // nothing here can reach a revocation list
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

bool SaveWindowBitmap(HWND window, const std::string& path, std::string& error) {
    Sleep(500);  // let the box finish painting
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const std::vector<DWORD> pixels = CaptureScreen(rect);
    // A 24-bit bottom-up BMP, rows padded to four bytes.
    const int rowSize = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + rowSize * height;
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::vector<BYTE> row(rowSize, 0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const DWORD pixel = pixels[static_cast<size_t>(y) * width + x];
            row[x * 3] = BYTE(pixel);
            row[x * 3 + 1] = BYTE(pixel >> 8);
            row[x * 3 + 2] = BYTE(pixel >> 16);
        }
        std::fwrite(row.data(), row.size(), 1, out);
    }
    return std::fclose(out) == 0;
}

bool SaveText(const ProgramRun& run, const std::string& path, std::string& error) {
    const std::string text = TextOf(GetDlgItem(run.box, kTextControlId));
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fclose(out) == 0;
}
