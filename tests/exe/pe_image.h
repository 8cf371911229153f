// A small reader of the headers of a Windows executable (PE32, and the 64-bit
// PE32+), for checking what the linker produced without running it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct PeImage {
    std::uintmax_t fileSize = 0;
    std::uint16_t machine = 0;
    std::uint32_t timeDateStamp = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optionalMagic = 0;
    std::uint16_t subsystem = 0;
    std::uint32_t exportDirectorySize = 0;
    std::uint32_t resourceDirectorySize = 0;
    std::uint32_t debugDirectorySize = 0;
    // The Authenticode signature: a file offset, not an address, and a size.
    std::uint32_t certificateTableOffset = 0;
    std::uint32_t certificateTableSize = 0;
    std::uint16_t certificateRevision = 0;  // of the first WIN_CERTIFICATE
    std::uint16_t certificateType = 0;
    std::vector<std::string> sections;
    std::map<std::string, std::set<std::string>> imports;  // DLL name, upper case -> function names
};

// Reads `path`; on failure returns false and says why in `error`.
bool ReadPeImage(const std::string& path, PeImage& image, std::string& error);
