#include "tools/package/VersionBlock.h"

#include "unpack/layout/PackageParse.h"

#include <cstdio>

namespace package {
namespace {

constexpr uint32_t kRtVersion = 16;
constexpr size_t kDirectorySize = 16;   // IMAGE_RESOURCE_DIRECTORY
constexpr size_t kEntrySize = 8;        // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
// VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO\0", padded
// to 32 bits; the 52-byte VS_FIXEDFILEINFO follows.
constexpr size_t kKeyOffset = 6;
constexpr char kKey[] = "VS_VERSION_INFO";
constexpr size_t kFixedOffset = 40;
constexpr size_t kFixedSize = 52;

uint16_t Le16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | b[1] << 8); }

std::string Dotted(uint32_t high, uint32_t low) {
    char text[48];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
    return text;
}

class ResourceReader {
public:
    ResourceReader(std::istream& file, const PeFacts& facts) : file_(file), facts_(facts) {}

    // Reads size bytes at an offset into the resource directory (or at an
    // image RVA when rva is set).
    bool Read(uint32_t at, void* buffer, size_t size, bool rva = false) {
        uint64_t offset = 0;
        uint32_t where = rva ? at : facts_.resourceRva + at;
        if (!rva && at > facts_.resourceSize) return false;
        return RvaToOffset(facts_, where, static_cast<uint32_t>(size), offset) && ReadAt(file_, offset, buffer, size);
    }

    // The entry of a directory whose ID is id (or the first entry when id is
    // 0xFFFFFFFF); its OffsetToData, or false when the directory has none.
    bool Find(uint32_t directory, uint32_t id, uint32_t& target, std::string& error) {
        uint8_t head[kDirectorySize];
        if (!Read(directory, head, sizeof(head))) {
            error = "a resource directory lies outside the image";
            return false;
        }
        const uint32_t count = static_cast<uint32_t>(Le16(head + 12)) + Le16(head + 14);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t entry[kEntrySize];
            if (!Read(directory + kDirectorySize + i * kEntrySize, entry, sizeof(entry))) {
                error = "a resource directory entry lies outside the image";
                return false;
            }
            const uint32_t name = ReadLE32(entry);
            if (id == 0xFFFFFFFFu || (!(name & kHighBit) && name == id)) {
                target = ReadLE32(entry + 4);
                return true;
            }
        }
        return false;
    }

private:
    std::istream& file_;
    const PeFacts& facts_;
};

}  // namespace

StubVersion ReadStubVersion(std::istream& file, const PeFacts& facts) {
    StubVersion version;
    if (facts.resourceRva == 0 || facts.resourceSize == 0) {
        version.missing = "the stub has no resources";
        return version;
    }
    ResourceReader reader(file, facts);
    std::string error;
    uint32_t names = 0, languages = 0, data = 0;
    if (!reader.Find(0, kRtVersion, names, error)) {
        version.missing = error.empty() ? "the stub's resources hold no version block" : error;
        return version;
    }
    // Type, name and language are directories; the language's entry is data.
    if (!(names & kHighBit) || !reader.Find(names & ~kHighBit, 0xFFFFFFFFu, languages, error) ||
        !(languages & kHighBit) || !reader.Find(languages & ~kHighBit, 0xFFFFFFFFu, data, error) ||
        (data & kHighBit)) {
        version.missing = error.empty() ? "the version resource's directory is malformed" : error;
        return version;
    }
    uint8_t dataEntry[16];
    if (!reader.Read(data, dataEntry, sizeof(dataEntry))) {
        version.missing = "the version resource's data entry lies outside the image";
        return version;
    }
    const uint32_t blockRva = ReadLE32(dataEntry), blockSize = ReadLE32(dataEntry + 4);
    uint8_t block[kFixedOffset + kFixedSize];
    if (blockSize < sizeof(block) || !reader.Read(blockRva, block, sizeof(block), true)) {
        version.missing = "the version block is too short for a fixed version record or lies outside the image";
        return version;
    }
    bool keyMatches = true;
    for (size_t i = 0; i < sizeof(kKey); ++i)
        keyMatches = keyMatches && Le16(block + kKeyOffset + 2 * i) == static_cast<uint16_t>(kKey[i]);
    const uint8_t* fixed = block + kFixedOffset;
    if (!keyMatches || Le16(block) < sizeof(block) || Le16(block + 2) < kFixedSize ||
        ReadLE32(fixed) != kFixedSignature) {
        version.missing = "the version resource is not a VS_VERSIONINFO block with a VS_FIXEDFILEINFO record";
        return version;
    }
    version.found = true;
    version.file = Dotted(ReadLE32(fixed + 8), ReadLE32(fixed + 12));
    version.product = Dotted(ReadLE32(fixed + 16), ReadLE32(fixed + 20));
    return version;
}

}  // namespace package
