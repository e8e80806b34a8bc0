#include "tools/package/PeImage.h"

#include "unpack/layout/PackageParse.h"

#include <cstring>
#include <vector>

namespace package {
namespace {

constexpr size_t kFileHeaderOffset = 4;            // behind "PE\0\0"
constexpr size_t kOptionalHeaderOffset = 24;       // signature + file header
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSizeOfHeadersField = kOptionalHeaderOffset + 60;
// NumberOfRvaAndSizes, and the least optional header that holds the security
// directory entry: PE32+ has 8-byte fields ahead of them, 16 bytes more.
constexpr size_t kNumberOfRvaAndSizesField = kOptionalHeaderOffset + 92;
constexpr size_t kNumberOfRvaAndSizesField64 = kOptionalHeaderOffset + 108;
constexpr size_t kLeastOptionalHeader = 224;
constexpr size_t kLeastOptionalHeader64 = 240;
constexpr uint32_t kSecurityDirectoryIndex = 4;
constexpr size_t kCheckSumField = kOptionalHeaderOffset + 64;
// The data directories follow NumberOfRvaAndSizes; 8 bytes each.
constexpr size_t kResourceEntryField = kNumberOfRvaAndSizesField + 4 + 2 * 8;
constexpr size_t kResourceEntryField64 = kNumberOfRvaAndSizesField64 + 4 + 2 * 8;
constexpr size_t kSecurityEntryField = kNumberOfRvaAndSizesField + 4 + kSecurityDirectoryIndex * 8;
constexpr size_t kSecurityEntryField64 = kNumberOfRvaAndSizesField64 + 4 + kSecurityDirectoryIndex * 8;

uint16_t ReadLE16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | b[1] << 8); }

}  // namespace

bool ReadAt(std::istream& file, uint64_t offset, void* buffer, size_t size) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    if (!file) return false;
    file.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    return file.gcount() == static_cast<std::streamsize>(size);
}

bool ReadPeFacts(std::istream& file, uint64_t fileLength, PeFacts& facts, std::string& error) {
    facts = PeFacts{};
    facts.fileLength = fileLength;
    uint8_t dos[kDosHeaderSize];
    if (fileLength < sizeof(dos) || !ReadAt(file, 0, dos, sizeof(dos))) {
        error = "file is too short for a DOS header";
        return false;
    }
    if (dos[0] != 'M' || dos[1] != 'Z') {
        error = std::memcmp(dos, "MSCF", 4) == 0 ? "it is a cabinet (it starts with \"MSCF\"), not a Windows program"
                                                 : "no DOS header (\"MZ\" missing)";
        return false;
    }
    ParsePeOffset(dos, sizeof(dos), facts.peOffset);
    // Widened with its sign and compared unsigned, as the unpacker does: a
    // negative offset lies "beyond" any file.
    uint64_t peOffset = static_cast<uint64_t>(static_cast<int64_t>(facts.peOffset));
    if (peOffset > fileLength || fileLength - peOffset < kPeHeadersSize) {
        error = "PE headers lie beyond the end of the file";
        return false;
    }
    uint8_t pe[kPeHeadersSize64] = {};
    size_t available = fileLength - peOffset < sizeof(pe) ? static_cast<size_t>(fileLength - peOffset) : sizeof(pe);
    if (!ReadAt(file, peOffset, pe, available)) {
        error = "cannot read the PE headers";
        return false;
    }
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0) {
        error = "no PE signature at the offset the DOS header names";
        return false;
    }
    const uint16_t magic = ParseOptionalMagic(pe, available);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        error = "not a PE32 or PE32+ image (optional header magic is neither 0x10B nor 0x20B)";
        return false;
    }
    if (available < PeHeadersSize(pe, available)) {
        error = "PE headers lie beyond the end of the file";
        return false;
    }
    facts.is64Bit = magic == kPe32PlusMagic;
    facts.machine = ReadLE16(pe + kFileHeaderOffset);
    uint16_t sectionCount = ReadLE16(pe + kFileHeaderOffset + 2);
    uint16_t optionalHeaderSize = ReadLE16(pe + kFileHeaderOffset + 16);
    if (optionalHeaderSize < (facts.is64Bit ? kLeastOptionalHeader64 : kLeastOptionalHeader) ||
        ReadLE32(pe + (facts.is64Bit ? kNumberOfRvaAndSizesField64 : kNumberOfRvaAndSizesField)) <=
            kSecurityDirectoryIndex) {
        error = "the optional header has no security directory entry";
        return false;
    }
    facts.isPe = true;
    int32_t signedLength = 0;
    ParseSecurityDirectory(pe, available, facts.securityOffset, signedLength);
    facts.securityLength = static_cast<uint32_t>(signedLength);
    facts.checksumOffset = peOffset + kCheckSumField;
    facts.securityEntryOffset = peOffset + (facts.is64Bit ? kSecurityEntryField64 : kSecurityEntryField);
    const size_t resourceEntry = facts.is64Bit ? kResourceEntryField64 : kResourceEntryField;
    facts.resourceRva = ReadLE32(pe + resourceEntry);
    facts.resourceSize = ReadLE32(pe + resourceEntry + 4);

    facts.imageEnd = ReadLE32(pe + kSizeOfHeadersField);
    uint64_t tableOffset = peOffset + kOptionalHeaderOffset + optionalHeaderSize;
    std::vector<uint8_t> table(static_cast<size_t>(sectionCount) * kSectionHeaderSize);
    if (!table.empty() && !ReadAt(file, tableOffset, table.data(), table.size())) {
        error = "cannot read the section table";
        return false;
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* section = table.data() + static_cast<size_t>(i) * kSectionHeaderSize;
        uint32_t rawSize = ReadLE32(section + 16);
        uint32_t rawOffset = ReadLE32(section + 20);
        facts.sections.push_back({ReadLE32(section + 12), ReadLE32(section + 8), rawOffset, rawSize});
        if (rawSize == 0) continue;
        uint64_t end = static_cast<uint64_t>(rawOffset) + rawSize;
        if (end > facts.imageEnd) facts.imageEnd = end;
    }
    return true;
}

bool RvaToOffset(const PeFacts& facts, uint32_t rva, uint32_t size, uint64_t& offset) {
    for (const PeSection& s : facts.sections) {
        if (rva < s.virtualAddress) continue;
        uint64_t into = rva - s.virtualAddress;
        if (into + size > s.rawSize) continue;
        offset = static_cast<uint64_t>(s.rawOffset) + into;
        return offset + size <= facts.fileLength;
    }
    return false;
}

}  // namespace package
