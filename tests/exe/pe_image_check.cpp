// Checks that the linker produced the program we ship: a 32-bit GUI
// executable, small, with no resources or exports, importing only system
// DLLs and, from advapi32 and user32, only the functions the program calls,
// under a file name that Windows does not take for an installer's.
//   pe_image_check EXE            the checks
//   pe_image_check --imports EXE  prints the imported DLLs on one line
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>

#include "tests/exe/pe_image.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what, const std::string& got) {
    std::printf("%s %s (got %s)\n", ok ? "ok  " : "FAIL", what.c_str(), got.c_str());
    failures += ok ? 0 : 1;
}

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// What Windows' installer detection looks for in the file name of a 32-bit
// program that asks for no execution level in a manifest (ours has no
// manifest at all): Windows takes such a program for an installer and starts
// it only after an elevation prompt, as another account if a standard user
// types its password. Matched anywhere in the name and in any case; the
// stems also catch "installer", "uninstall" and "upgrading".
const char* const kInstallerWords[] = {"instal", "setup", "update", "upgrad", "patch", "uninst"};

// The first installer word in the file name of `path`, or "" when none is.
std::string InstallerWordIn(const std::string& path) {
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* word : kInstallerWords) {
        if (name.find(word) != std::string::npos) {
            return word;
        }
    }
    return "";
}

std::string List(const std::set<std::string>& names) {
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : ", ") + name;
    }
    return "{" + list + "}";
}

}  // namespace

int main(int argc, char** argv) {
    const bool importsOnly = argc == 3 && std::string(argv[1]) == "--imports";
    if (argc != 2 && !importsOnly) {
        std::fprintf(stderr, "usage: pe_image_check [--imports] EXE\n");
        return 2;
    }
    const char* path = argv[argc - 1];
    PeImage image;
    std::string error;
    if (!ReadPeImage(path, image, error)) {
        std::printf("FAIL %s: %s (build it with `make`)\n", path, error.c_str());
        return 1;
    }
    if (importsOnly) {
        std::string dlls;
        for (const auto& [dll, functions] : image.imports) {
            dlls += (dlls.empty() ? "" : " ") + dll;
        }
        std::printf("%s\n", dlls.c_str());
        return 0;
    }
    const std::string installerWord = InstallerWordIn(path);
    Check(installerWord.empty(), "the file name has no word that installer detection looks for",
          installerWord.empty() ? path : "\"" + installerWord + "\" in " + path);
    constexpr unsigned kImageFileDll = 0x2000;
    Check(image.machine == 0x14C, "machine is i386 (0x14C)", Hex(image.machine));
    Check(image.optionalMagic == 0x10B, "optional header is PE32 (0x10B)", Hex(image.optionalMagic));
    Check(image.subsystem == 2, "subsystem is Windows GUI (2)", std::to_string(image.subsystem));
    Check((image.characteristics & kImageFileDll) == 0, "it is an executable, not a DLL", Hex(image.characteristics));
    Check(image.resourceDirectorySize == 0, "resource directory is empty", std::to_string(image.resourceDirectorySize));
    Check(image.exportDirectorySize == 0, "export directory is empty", std::to_string(image.exportDirectorySize));
    Check(image.debugDirectorySize == 0, "no debug directory (no build paths)",
          std::to_string(image.debugDirectorySize));
    Check(image.timeDateStamp == 0, "no link timestamp", Hex(image.timeDateStamp));
    const std::set<std::string> sectionNames(image.sections.begin(), image.sections.end());
    Check(sectionNames.count(".rsrc") == 0, "no .rsrc section", List(sectionNames));
    Check(image.fileSize <= 20 * 1024, "size at most 20 KiB", std::to_string(image.fileSize) + " bytes");

    std::set<std::string> dlls;
    for (const auto& [dll, functions] : image.imports) {
        dlls.insert(dll);
    }
    const std::set<std::string> system = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"};
    bool onlySystem = true;
    for (const std::string& dll : dlls) {
        onlySystem = onlySystem && system.count(dll) == 1;
    }
    Check(onlySystem && dlls.count("ADVAPI32.DLL") && dlls.count("USER32.DLL"),
          "imports only KERNEL32, ADVAPI32, USER32 and msvcrt", List(dlls));
    Check(image.imports["ADVAPI32.DLL"] ==
              std::set<std::string>{"RegCloseKey", "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA"},
          "from ADVAPI32 only the four ANSI registry functions", List(image.imports["ADVAPI32.DLL"]));
    Check(image.imports["USER32.DLL"] == std::set<std::string>{"MessageBoxA"}, "from USER32 only MessageBoxA",
          List(image.imports["USER32.DLL"]));
    return failures == 0 ? 0 : 1;
}
