// Drives the real korvane-icon-size.exe against the real registry and the real
// message box, from another Windows process: it prepares the key, starts the
// program, finds its box, checks what the box shows, presses OK, and checks
// the exit code and the registry afterwards. Every wait is bounded.
//
//   korvane-e2e scenarios EXE [NAME]       every scenario, or the one named;
//                                          exit 0 when all that ran passed
//   korvane-e2e show EXE PREPARE BMP TEXT  one run: PREPARE is repair, missing-key
//                                          or none; saves the box as a BMP and
//                                          its text bytes, then presses OK
//   korvane-e2e value                      prints "Shell Icon Size" as it is now
//   korvane-e2e set TEXT                   sets it to the REG_SZ text TEXT
//   korvane-e2e remove                     removes it
//   korvane-e2e trust EXE                  prints what WinVerifyTrust says of EXE
//   korvane-e2e bench EXE BASELINE RUNS    times start to box for both programs,
//                                          alternating, and prints the figures
#include "tests/e2e/e2e_windows.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What the box must say, as code page 932 bytes.
const std::string kCaption = "Korvane Update";
const std::string kSucceededText =
    "Korvane Update "
    "\x82\xCD\x8F\x88\x97\x9D\x82\xF0\x90\xB3\x8F\xED\x82\xC9\x8F\x49"
    "\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
const std::string kFailedText =
    "Korvane Update "
    "\x82\xCD\x8F\x88\x97\x9D\x82\xF0\x90\xB3\x8F\xED\x82\xC9\x8F\x49"
    "\x97\xB9\x8F\x6F\x97\x88\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5"
    "\x82\xBD\x81\x42";

const Bytes kRepaired = {'3', '2', 0};
constexpr UINT kJapaneseCodePage = 932;

enum class Prepare { KeyWithValue, KeyWithoutValue, NoKey };
enum class After { Unchanged, Rewritten, KeyStillMissing };

struct Scenario {
    const char* name;
    Prepare prepare;
    DWORD type;
    Bytes data;
    const char* arguments;
    After after;
    const std::string* text;  // what the box must say; none when the program must not start
    // Launches that fail, scripted, before CreateProcessA itself is called:
    // the error each one fails with, in order.
    std::vector<DWORD> refusals = {};
    // 0 when the program must start in the end; else the error its launch
    // must fail with, once every scripted refusal is used.
    DWORD launchFails = 0;
};

// The scripted refusals of the scenario that runs now, and how many of them
// RefusingCreateProcessA has given.
std::vector<DWORD> gRefusals;
size_t gRefused = 0;

// CreateProcessA as a Wine that refuses launches answers it: each call fails
// with the next scripted error until none is left, then CreateProcessA runs.
BOOL WINAPI RefusingCreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                   LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                                   LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                   LPPROCESS_INFORMATION processInformation) {
    if (gRefused < gRefusals.size()) {
        SetLastError(gRefusals[gRefused++]);
        return FALSE;
    }
    return CreateProcessA(application, commandLine, processAttributes, threadAttributes, inheritHandles,
                          creationFlags, environment, currentDirectory, startupInfo, processInformation);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes Sz(const std::string& text) { return Text(text) + Bytes{0}; }  // with its NUL, as REG_SZ stores it
Bytes Dword(DWORD value) { return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}; }

std::vector<Scenario> Scenarios() {
    const Bytes zeros255One = Bytes(255, '0') + Bytes{'1'};
    return {
        {"REG_SZ \"0\" is rewritten", Prepare::KeyWithValue, REG_SZ, Sz("0"), "", After::Rewritten, &kSucceededText},
        {"REG_SZ \"32\" is left alone", Prepare::KeyWithValue, REG_SZ, Sz("32"), "", After::Unchanged,
         &kSucceededText},
        {"REG_SZ \"\" is rewritten", Prepare::KeyWithValue, REG_SZ, Sz(""), "", After::Rewritten, &kSucceededText},
        {"REG_SZ \"abc\" is rewritten", Prepare::KeyWithValue, REG_SZ, Sz("abc"), "", After::Rewritten,
         &kSucceededText},
        {"REG_SZ \" 48\" is left alone", Prepare::KeyWithValue, REG_SZ, Sz(" 48"), "", After::Unchanged,
         &kSucceededText},
        {"REG_SZ \"-1\" is left alone", Prepare::KeyWithValue, REG_SZ, Sz("-1"), "", After::Unchanged,
         &kSucceededText},
        {"REG_SZ \"-0\" is rewritten", Prepare::KeyWithValue, REG_SZ, Sz("-0"), "", After::Rewritten,
         &kSucceededText},
        {"REG_SZ 2^32 wraps to 0 and is rewritten", Prepare::KeyWithValue, REG_SZ, Sz("4294967296"), "",
         After::Rewritten, &kSucceededText},
        {"REG_SZ 2^32 + 32 wraps to 32", Prepare::KeyWithValue, REG_SZ, Sz("4294967328"), "", After::Unchanged,
         &kSucceededText},
        {"REG_EXPAND_SZ \"0\" becomes REG_SZ \"32\"", Prepare::KeyWithValue, REG_EXPAND_SZ, Sz("0"), "",
         After::Rewritten, &kSucceededText},
        {"REG_DWORD 32 reads as a blank and is rewritten", Prepare::KeyWithValue, REG_DWORD, Dword(32), "",
         After::Rewritten, &kSucceededText},
        {"REG_DWORD 49 reads as \"1\"", Prepare::KeyWithValue, REG_DWORD, Dword(49), "", After::Unchanged,
         &kSucceededText},
        {"REG_BINARY \"0x20\" is rewritten", Prepare::KeyWithValue, REG_BINARY, Text("0x20"), "", After::Rewritten,
         &kSucceededText},
        {"REG_BINARY of no bytes is rewritten", Prepare::KeyWithValue, REG_BINARY, {}, "", After::Rewritten,
         &kSucceededText},
        {"REG_BINARY 256 bytes without NUL, 255 zeros and a one", Prepare::KeyWithValue, REG_BINARY, zeros255One, "",
         After::Unchanged, &kSucceededText},
        {"REG_BINARY 256 zeros without NUL is rewritten", Prepare::KeyWithValue, REG_BINARY, Bytes(256, '0'), "",
         After::Rewritten, &kSucceededText},
        {"REG_BINARY of 257 zeros is too long to read", Prepare::KeyWithValue, REG_BINARY, Bytes(257, '0'), "",
         After::Unchanged, &kSucceededText},
        {"REG_SZ of 300 zeros is too long to read", Prepare::KeyWithValue, REG_SZ, Sz(std::string(300, '0')), "",
         After::Unchanged, &kSucceededText},
        {"the value is absent", Prepare::KeyWithoutValue, REG_NONE, {}, "", After::Unchanged, &kSucceededText},
        {"the key is missing", Prepare::NoKey, REG_NONE, {}, "", After::KeyStillMissing, &kFailedText},
        {"arguments are ignored: a zero is still rewritten", Prepare::KeyWithValue, REG_SZ, Sz("0"),
         " /? --help 32 \"Shell Icon Size\" 0", After::Rewritten, &kSucceededText},
        {"arguments are ignored: 32 is still left alone", Prepare::KeyWithValue, REG_SZ, Sz("32"), " 0 /repair",
         After::Unchanged, &kSucceededText},
        {"arguments are ignored: a missing key still fails", Prepare::NoKey, REG_NONE, {}, " 32",
         After::KeyStillMissing, &kFailedText},
        // Launches that Wine refuses, scripted: those it refuses for its own
        // reasons are tried again, at most twice; a program's own fault is not.
        {"Wine refuses the launch once (1359, scripted): tried again, a zero is rewritten", Prepare::KeyWithValue,
         REG_SZ, Sz("0"), "", After::Rewritten, &kSucceededText, {ERROR_INTERNAL_ERROR}},
        {"Wine cannot fork once (8, scripted): tried again, a zero is rewritten", Prepare::KeyWithValue, REG_SZ,
         Sz("0"), "", After::Rewritten, &kSucceededText, {ERROR_NOT_ENOUGH_MEMORY}},
        {"Wine refuses the launch three times (1359, scripted): fails naming 1359, nothing changed",
         Prepare::KeyWithValue, REG_SZ, Sz("0"), "", After::Unchanged, nullptr,
         {ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR}, ERROR_INTERNAL_ERROR},
        {"a bad image (193, scripted) is not tried again: fails naming 193, nothing changed", Prepare::KeyWithValue,
         REG_SZ, Sz("0"), "", After::Unchanged, nullptr, {ERROR_BAD_EXE_FORMAT}, ERROR_BAD_EXE_FORMAT},
    };
}

// Puts the key in the scenario's state: the values the prefix started with,
// plus or minus "Shell Icon Size".
bool PrepareKey(const Scenario& scenario, const KeySnapshot& baseline, std::string& error) {
    if (!DeleteKey(error)) {
        return false;
    }
    if (scenario.prepare == Prepare::NoKey) {
        return true;
    }
    KeySnapshot wanted = baseline;
    wanted.values.erase(kValueName);
    if (scenario.prepare == Prepare::KeyWithValue) {
        wanted.values[kValueName] = RegistryValue{scenario.type, scenario.data};
    }
    return WriteKey(wanted, error);
}

// Reads the key before the run, and makes sure it is as prepared.
bool ReadPreparedKey(const Scenario& scenario, KeySnapshot& before, std::string& error) {
    if (!ReadKey(before, error)) {
        return false;
    }
    const bool hasValue = before.values.count(kValueName) == 1;
    const bool asPrepared = scenario.prepare == Prepare::NoKey
                                ? !before.exists
                                : before.exists && hasValue == (scenario.prepare == Prepare::KeyWithValue);
    if (!asPrepared) {
        error = "the key was not as prepared before the run";
    }
    return asPrepared;
}

// Compares the key after the run with the key before it.
bool CheckRegistryAfter(const Scenario& scenario, const KeySnapshot& before, std::string& error) {
    KeySnapshot after;
    if (!ReadKey(after, error)) {
        return false;
    }
    if (scenario.after == After::KeyStillMissing) {
        // A program that cannot open the key must not create it. Wine's own
        // user32 may re-create the key, empty, in any GUI process once the
        // program's open has failed, so an empty key counts as missing; a key
        // with any value or subkey does not.
        if (after.exists && (!after.values.empty() || after.subkeyCount != 0)) {
            error = "the missing key came back with " + std::to_string(after.values.size()) + " values and " +
                    std::to_string(after.subkeyCount) + " subkeys";
            return false;
        }
        return true;
    }
    KeySnapshot expected = before;
    if (scenario.after == After::Rewritten) {
        expected.values[kValueName] = RegistryValue{REG_SZ, kRepaired};
    }
    return SameKey(expected, after, error);
}

// A launch that must fail: StartProgram gives up naming the expected error,
// with every scripted refusal used, so neither one try too many nor too few.
bool LaunchFails(const std::string& exe, const Scenario& scenario, ProgramRun& run, std::string& error) {
    std::string launchError;
    if (StartProgram(exe, scenario.arguments, run, launchError, &RefusingCreateProcessA)) {
        error = "the program started; its launch should have failed with " + std::to_string(scenario.launchFails);
        return false;
    }
    const std::string expected = "failed with " + std::to_string(scenario.launchFails) + " for ";
    if (launchError.find(expected) == std::string::npos || gRefused != gRefusals.size()) {
        error = "expected a failure with " + std::to_string(scenario.launchFails) + " after " +
                std::to_string(gRefusals.size()) + " launches, got " + std::to_string(gRefused) +
                " scripted refusals and: " + launchError;
        return false;
    }
    return true;
}

// Runs one scenario and adds to `wineRetries` the launches it tried again
// that Wine itself refused: the scripted refusals come first, so a retry
// beyond them was Wine's.
bool RunScenario(const std::string& exe, const Scenario& scenario, const KeySnapshot& baseline, int& wineRetries) {
    std::string error;
    KeySnapshot before;
    ProgramRun run;
    gRefusals = scenario.refusals;
    gRefused = 0;
    const CreateProcessFunction launch = gRefusals.empty() ? &::CreateProcessA : &RefusingCreateProcessA;
    bool ok = PrepareKey(scenario, baseline, error) && ReadPreparedKey(scenario, before, error);
    if (ok && scenario.launchFails != 0) {
        ok = LaunchFails(exe, scenario, run, error) && CheckRegistryAfter(scenario, before, error);
    } else if (ok) {
        ok = StartProgram(exe, scenario.arguments, run, error, launch) && WaitForNotice(run, error) &&
             CheckNotice(run, kCaption, *scenario.text, error) && PressOk(run, error) && WaitForExit(run, error) &&
             CheckRegistryAfter(scenario, before, error);
        if (ok && run.exitCode != 0) {
            error = "exit code " + std::to_string(run.exitCode) + ", expected 0";
            ok = false;
        }
    }
    EndProgram(run);
    wineRetries += run.retries - std::min(run.retries, static_cast<int>(gRefused));
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", scenario.name, ok ? "" : ": ", ok ? "" : error.c_str());
    std::fflush(stdout);
    return ok;
}

int RunScenarios(const std::string& exe, const std::string* only) {
    // Under another code page the same bytes would still compare equal, but
    // the box would not show them as Japanese.
    if (GetACP() != kJapaneseCodePage) {
        std::printf("FAIL the ANSI code page is %u, not %u as on a Japanese Windows\n", GetACP(), kJapaneseCodePage);
        return 1;
    }
    std::string error;
    KeySnapshot baseline;
    if (!WaitForQuietSession(error) || !ReadKey(baseline, error)) {
        std::printf("FAIL reading the prefix's own key: %s\n", error.c_str());
        return 1;
    }
    int passed = 0;
    int failed = 0;
    int wineRetries = 0;
    for (const Scenario& scenario : Scenarios()) {
        if (only == nullptr || *only == scenario.name) {
            (RunScenario(exe, scenario, baseline, wineRetries) ? passed : failed) += 1;
        }
    }
    if (passed + failed == 0) {
        std::printf("FAIL no scenario is named \"%s\"\n", only->c_str());
        ++failed;
    }
    // Leave the prefix's key as it was found.
    if (!DeleteKey(error) || (baseline.exists && !WriteKey(baseline, error))) {
        std::printf("FAIL restoring the key: %s\n", error.c_str());
        ++failed;
    }
    // The scripted refusals are not counted: a number here that grows from
    // run to run is a Wine that refuses more and more launches.
    std::printf("%d passed, %d failed, %d launches Wine refused tried again\n", passed, failed, wineRetries);
    return failed == 0 ? 0 : 1;
}

// One run for a person or a screenshot: prepares the registry as asked, runs
// the program, saves the box and its text, presses OK, and reports.
int ShowOnce(const std::string& exe, const std::string& prepare, const std::string& bmpPath,
             const std::string& textPath) {
    std::string error;
    KeySnapshot baseline;
    KeySnapshot before;
    bool ok = WaitForQuietSession(error) && ReadKey(baseline, error);
    if (ok && prepare != "none") {
        Scenario scenario{"", prepare == "missing-key" ? Prepare::NoKey : Prepare::KeyWithValue, REG_SZ, Sz("0"),
                          "", After::Unchanged, nullptr};
        ok = PrepareKey(scenario, baseline, error) && ReadPreparedKey(scenario, before, error);
    }
    ProgramRun run;
    ok = ok && StartProgram(exe, "", run, error) && WaitForNotice(run, error) &&
         SaveWindowBitmap(run.box, bmpPath, error) && SaveText(run, textPath, error) && PressOk(run, error) &&
         WaitForExit(run, error);
    EndProgram(run);
    if (!ok) {
        std::fprintf(stderr, "korvane-e2e: %s\n", error.c_str());
        return 1;
    }
    std::printf("exit code %lu\n", static_cast<unsigned long>(run.exitCode));
    return 0;
}

int PrintValue() {
    std::string error;
    KeySnapshot key;
    if (!ReadKey(key, error)) {
        std::fprintf(stderr, "korvane-e2e: %s\n", error.c_str());
        return 1;
    }
    const auto value = key.values.find(kValueName);
    if (!key.exists) {
        std::printf("the key HKCU\\%s is missing\n", kKeyPath);
    } else if (value == key.values.end()) {
        std::printf("\"%s\" is absent\n", kValueName);
    } else {
        std::printf("\"%s\" = %s\n", kValueName, Describe(value->second).c_str());
    }
    return 0;
}

// Sets "Shell Icon Size" to the REG_SZ `text`, or with no text removes it,
// once Wine's start-up is done with the key. The key's other values and its
// subkeys stay as they are.
int SetValue(const std::string* text) {
    std::string error;
    bool ok = WaitForQuietSession(error);
    if (ok && text != nullptr) {
        KeySnapshot value;
        value.values[kValueName] = RegistryValue{REG_SZ, Sz(*text)};
        ok = WriteKey(value, error);
    } else if (ok) {
        ok = DeleteValue(error);
    }
    if (!ok) {
        std::fprintf(stderr, "korvane-e2e: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// Milliseconds from just before CreateProcessA until the box is visible.
bool TimeToBox(const std::string& exe, double& milliseconds, std::string& error) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER shown;
    QueryPerformanceFrequency(&frequency);
    ProgramRun run;
    QueryPerformanceCounter(&start);
    bool ok = StartProgram(exe, "", run, error) && WaitForNotice(run, error);
    QueryPerformanceCounter(&shown);
    ok = ok && PressOk(run, error) && WaitForExit(run, error);
    EndProgram(run);
    milliseconds =
        1000.0 * static_cast<double>(shown.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    return ok;
}

// One line per program: median, quartiles, minimum and maximum, in ms.
void PrintFigures(const char* name, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    const auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1) + 0.5)]; };
    std::printf("%s %.1f %.1f %.1f %.1f %.1f\n", name, at(0.5), at(0.25), at(0.75), times.front(), times.back());
}

int Bench(const std::string& exe, const std::string& baseline, int runs) {
    constexpr int kWarmUps = 2;  // the first starts fill caches, and are not counted
    std::string error;
    std::vector<double> ours;
    std::vector<double> theirs;
    if (!WaitForQuietSession(error)) {
        std::fprintf(stderr, "korvane-e2e: %s\n", error.c_str());
        return 1;
    }
    for (int i = -kWarmUps; i < runs; ++i) {
        // Alternate which goes first, so that neither always follows the other.
        const bool oursFirst = i % 2 == 0;
        double first = 0;
        double second = 0;
        if (!TimeToBox(oursFirst ? exe : baseline, first, error) ||
            !TimeToBox(oursFirst ? baseline : exe, second, error)) {
            std::fprintf(stderr, "korvane-e2e: %s\n", error.c_str());
            return 1;
        }
        if (i >= 0) {
            ours.push_back(oursFirst ? first : second);
            theirs.push_back(oursFirst ? second : first);
        }
    }
    PrintFigures("ours", ours);
    PrintFigures("baseline", theirs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if ((args.size() == 2 || args.size() == 3) && args[0] == "scenarios") {
        return RunScenarios(args[1], args.size() == 3 ? &args[2] : nullptr);
    }
    if (args.size() == 5 && args[0] == "show") {
        return ShowOnce(args[1], args[2], args[3], args[4]);
    }
    if (args.size() == 1 && args[0] == "value") {
        return PrintValue();
    }
    if (args.size() == 2 && args[0] == "set") {
        return SetValue(&args[1]);
    }
    if (args.size() == 1 && args[0] == "remove") {
        return SetValue(nullptr);
    }
    if (args.size() == 2 && args[0] == "trust") {
        std::printf("0x%08lX\n", static_cast<unsigned long>(VerifyTrust(args[1])));
        return 0;
    }
    if (args.size() == 4 && args[0] == "bench" && std::atoi(args[3].c_str()) > 0) {
        return Bench(args[1], args[2], std::atoi(args[3].c_str()));
    }
    std::fprintf(stderr,
                 "usage: korvane-e2e scenarios EXE [NAME]\n"
                 "       korvane-e2e show EXE repair|missing-key|none BMP TEXT\n"
                 "       korvane-e2e value\n"
                 "       korvane-e2e set TEXT\n"
                 "       korvane-e2e remove\n"
                 "       korvane-e2e trust EXE\n"
                 "       korvane-e2e bench EXE BASELINE RUNS\n");
    return 2;
}
