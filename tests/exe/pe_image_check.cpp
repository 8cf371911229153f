// Checks that the linker produced the program we ship: a 32-bit GUI
// executable, small, with no resources or exports, importing only system
// DLLs and, from advapi32 and user32, only the functions the program calls,
// under a file name that Windows does not take for an installer's. A signed
// copy must be all that too, with its signature where Windows looks for it.
//   pe_image_check EXE [SIGNED_EXE]  the checks, of each
//   pe_image_check --imports EXE     prints the imported DLLs on one line
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

// The checks of one program, signed or not.
void CheckProgram(const char* path, const PeImage& image, bool signedCopy) {
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
    // The size of the program itself: a signature appended to it does not count.
    const std::uintmax_t programSize = image.fileSize - image.certificateTableSize;
    Check(programSize <= 20 * 1024, "size at most 20 KiB, without a signature", std::to_string(programSize) + " bytes");
    if (signedCopy) {
        // Windows finds the signature through the certificate table: at the
        // end of the file, on an 8-byte boundary, one WIN_CERT_REVISION_2_0
        // WIN_CERT_TYPE_PKCS_SIGNED_DATA entry.
        const bool atTheEnd = image.certificateTableSize != 0 &&
                              image.certificateTableOffset + std::uintmax_t{image.certificateTableSize} ==
                                  image.fileSize &&
                              image.certificateTableOffset % 8 == 0;
        Check(atTheEnd, "a certificate table at the end of the file, 8-byte aligned",
              "offset " + std::to_string(image.certificateTableOffset) + ", " +
                  std::to_string(image.certificateTableSize) + " bytes, file " + std::to_string(image.fileSize));
        Check(image.certificateRevision == 0x200 && image.certificateType == 2,
              "it holds a PKCS#7 signature (revision 0x200, type 2)",
              Hex(image.certificateRevision) + ", " + Hex(image.certificateType));
    } else {
        Check(image.certificateTableSize == 0, "no signature: make dist signs a copy",
              std::to_string(image.certificateTableSize) + " bytes");
    }

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
    const auto importsFrom = [&](const std::string& dll) {
        const auto found = image.imports.find(dll);
        return found == image.imports.end() ? std::set<std::string>{} : found->second;
    };
    Check(importsFrom("ADVAPI32.DLL") ==
              std::set<std::string>{"RegCloseKey", "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA"},
          "from ADVAPI32 only the four ANSI registry functions", List(importsFrom("ADVAPI32.DLL")));
    Check(importsFrom("USER32.DLL") == std::set<std::string>{"MessageBoxA"}, "from USER32 only MessageBoxA",
          List(importsFrom("USER32.DLL")));
}

}  // namespace

int main(int argc, char** argv) {
    const bool importsOnly = argc == 3 && std::string(argv[1]) == "--imports";
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: pe_image_check EXE [SIGNED_EXE] | --imports EXE\n");
        return 2;
    }
    if (importsOnly) {
        PeImage image;
        std::string error;
        if (!ReadPeImage(argv[2], image, error)) {
            std::printf("FAIL %s: %s (build it with `make`)\n", argv[2], error.c_str());
            return 1;
        }
        std::string dlls;
        for (const auto& [dll, functions] : image.imports) {
            dlls += (dlls.empty() ? "" : " ") + dll;
        }
        std::printf("%s\n", dlls.c_str());
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        PeImage image;
        std::string error;
        const bool signedCopy = i == 2;
        std::printf("%s%s:\n", signedCopy ? "the signed copy, " : "", argv[i]);
        if (!ReadPeImage(argv[i], image, error)) {
            std::printf("FAIL %s: %s (build it with `make`)\n", argv[i], error.c_str());
            ++failures;
            continue;
        }
        CheckProgram(argv[i], image, signedCopy);
    }
    return failures == 0 ? 0 : 1;
}
