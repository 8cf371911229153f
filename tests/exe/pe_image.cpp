#include "tests/exe/pe_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace {

constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;  // 64-bit
constexpr int kExportDirectory = 0;
constexpr int kImportDirectory = 1;
constexpr int kResourceDirectory = 2;
constexpr int kCertificateTable = 4;
constexpr int kDebugDirectory = 6;

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
};

class Reader {
public:
    explicit Reader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    bool Has(std::uint64_t offset, std::uint64_t size) const { return offset + size <= bytes_.size(); }
    std::uint16_t U16(std::uint64_t at) const { return Has(at, 2) ? bytes_[at] | bytes_[at + 1] << 8 : 0; }
    std::uint32_t U32(std::uint64_t at) const {
        return Has(at, 4) ? static_cast<std::uint32_t>(U16(at)) | static_cast<std::uint32_t>(U16(at + 2)) << 16 : 0;
    }
    std::string Text(std::uint64_t at, std::size_t most) const {
        std::string text;
        for (; Has(at, 1) && text.size() < most && bytes_[at] != 0; ++at) {
            text += static_cast<char>(bytes_[at]);
        }
        return text;
    }
    std::size_t size() const { return bytes_.size(); }

private:
    std::vector<std::uint8_t> bytes_;
};

// File offset of a relative virtual address, or 0 when no section holds it.
std::uint32_t OffsetOf(const std::vector<Section>& sections, std::uint32_t rva) {
    for (const Section& section : sections) {
        const std::uint32_t extent = std::max(section.virtualSize, section.rawSize);
        if (rva >= section.virtualAddress && rva < section.virtualAddress + extent) {
            return rva - section.virtualAddress + section.rawOffset;
        }
    }
    return 0;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

bool ReadPeImage(const std::string& path, PeImage& image, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    const Reader pe(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}));
    image.fileSize = pe.size();
    if (pe.U16(0) != 0x5A4D) {
        error = "no MZ header";
        return false;
    }
    const std::uint32_t header = pe.U32(0x3C);
    if (pe.U32(header) != 0x00004550) {
        error = "no PE signature";
        return false;
    }
    const std::uint32_t coff = header + 4;
    image.machine = pe.U16(coff);
    const std::uint16_t sectionCount = pe.U16(coff + 2);
    image.timeDateStamp = pe.U32(coff + 4);
    const std::uint16_t optionalSize = pe.U16(coff + 16);
    image.characteristics = pe.U16(coff + 18);

    const std::uint32_t optional = coff + 20;
    image.optionalMagic = pe.U16(optional);
    if (image.optionalMagic != kPe32Magic && image.optionalMagic != kPe32PlusMagic) {
        error = "neither PE32 nor PE32+";
        return false;
    }
    // PE32+ widens the image base and the four stack and heap sizes to 64
    // bits, which moves the data directories 16 bytes on; its import thunks
    // are 64 bits, their top bit the by-ordinal flag.
    const bool plus = image.optionalMagic == kPe32PlusMagic;
    const std::uint32_t directories = optional + (plus ? 112 : 96);
    const std::uint32_t thunkSize = plus ? 8 : 4;
    image.subsystem = pe.U16(optional + 68);
    const std::uint32_t directoryCount = pe.U32(directories - 4);
    auto directory = [&](int index, std::uint32_t field) -> std::uint32_t {
        return static_cast<std::uint32_t>(index) < directoryCount ? pe.U32(directories + index * 8 + field) : 0;
    };
    image.exportDirectorySize = directory(kExportDirectory, 4);
    image.resourceDirectorySize = directory(kResourceDirectory, 4);
    image.debugDirectorySize = directory(kDebugDirectory, 4);
    image.certificateTableOffset = directory(kCertificateTable, 0);
    image.certificateTableSize = directory(kCertificateTable, 4);
    if (image.certificateTableSize != 0) {
        // WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the signature.
        image.certificateRevision = pe.U16(image.certificateTableOffset + 4);
        image.certificateType = pe.U16(image.certificateTableOffset + 6);
    }

    std::vector<Section> sections;
    const std::uint32_t table = optional + optionalSize;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const std::uint32_t at = table + i * 40;
        image.sections.push_back(pe.Text(at, 8));
        sections.push_back({pe.U32(at + 12), pe.U32(at + 8), pe.U32(at + 20), pe.U32(at + 16)});
    }

    // The import descriptors: 20 bytes each, ended by one of zeros.
    std::uint32_t descriptor = OffsetOf(sections, directory(kImportDirectory, 0));
    for (; descriptor != 0 && pe.Has(descriptor, 20) && pe.U32(descriptor + 12) != 0; descriptor += 20) {
        const std::string dll = Upper(pe.Text(OffsetOf(sections, pe.U32(descriptor + 12)), 260));
        std::set<std::string>& functions = image.imports[dll];
        const std::uint32_t lookup = pe.U32(descriptor) != 0 ? pe.U32(descriptor) : pe.U32(descriptor + 16);
        for (std::uint32_t thunk = OffsetOf(sections, lookup); thunk != 0; thunk += thunkSize) {
            const std::uint32_t entry = pe.U32(thunk);
            const std::uint32_t high = plus ? pe.U32(thunk + 4) : 0;
            if (entry == 0 && high == 0) {
                break;
            }
            const bool byOrdinal = (plus ? high : entry) & 0x80000000u;
            functions.insert(byOrdinal ? "#" + std::to_string(entry & 0xFFFF)
                                       : pe.Text(OffsetOf(sections, entry) + 2, 256));
        }
    }
    return true;
}
