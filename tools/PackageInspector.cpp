#include "tools/PackageInspector.h"

#include "tools/PackageWriter.h"
#include "tools/PeImage.h"
#include "tools/Sha256.h"
#include "unpack/layout/PackageParse.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace package {
namespace {

constexpr size_t kReadBufferSize = 64 * 1024;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Number(uint64_t value) { return std::to_string(value); }

// Reads the package region front to back exactly once, hashing what it reads.
class HashingReader {
public:
    HashingReader(std::istream& in) : in_(in), buffer_(kReadBufferSize) {}
    bool Read(void* out, size_t size) {
        in_.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
        if (static_cast<size_t>(in_.gcount()) != size) return false;
        sha_.Update(out, size);
        return true;
    }
    bool Skip(uint64_t size) {
        while (size > 0) {
            size_t want = size < buffer_.size() ? static_cast<size_t>(size) : buffer_.size();
            if (!Read(buffer_.data(), want)) return false;
            size -= want;
        }
        return true;
    }
    Sha256::Digest Finish() { return sha_.Finish(); }

private:
    std::istream& in_;
    std::vector<char> buffer_;
    Sha256 sha_;
};

bool Fail(Inspection& result, const std::string& problem) {
    result.problem = problem;
    return false;
}

}  // namespace

bool InspectPackage(const std::string& path, Inspection& result) {
    result = Inspection{};
    std::ifstream file(path, std::ios::binary);
    std::error_code ec;
    uint64_t length = std::filesystem::file_size(std::filesystem::path(path), ec);
    if (!file || ec) return Fail(result, "cannot open '" + path + "'");
    result.fileLength = length;

    PeFacts facts;
    std::string reason;
    if (!ReadPeFacts(file, length, facts, reason)) return Fail(result, reason);
    result.hasHeaders = true;
    result.imageEnd = facts.imageEnd;
    result.certificateOffset = facts.securityOffset;
    result.certificateLength = facts.securityLength;

    // Where the unpacker looks: 284 bytes plus the certificate table's length
    // (read as signed, so 0x80000000 or more adds nothing) before the end.
    const int32_t signedLength = static_cast<int32_t>(facts.securityLength);
    if (signedLength < 0)
        return Fail(result, "the certificate table's length " + Number(facts.securityLength) +
                                " is 0x80000000 or more, which the unpacker reads as no table");
    const uint64_t distance = TrailerDistanceFromEnd(signedLength);
    if (distance > length) return Fail(result, "the file is too short to hold a trailer where the unpacker looks");
    const uint64_t trailerOffset = length - distance;
    const uint64_t trailerEnd = trailerOffset + kRecordSize;
    if (signedLength > 0 && trailerEnd != facts.securityOffset)
        return Fail(result, "the trailer the unpacker reads ends at " + Number(trailerEnd) +
                                " but the certificate table begins at " + Number(facts.securityOffset));

    uint8_t bytes[kRecordSize];
    if (!ReadAt(file, trailerOffset, bytes, sizeof(bytes))) return Fail(result, "cannot read the trailer");
    TrailerRecord trailer{};
    ParseTrailer(bytes, sizeof(bytes), trailer);
    result.hasTrailer = true;
    result.trailerOffset = trailerOffset;
    result.headerOffset = trailer.headerOffset;
    uint8_t stored[32];
    std::memcpy(stored, trailer.sha256, sizeof(stored));
    Sha256::Digest storedDigest{};
    std::memcpy(storedDigest.data(), stored, sizeof(stored));

    if (trailer.headerOffset == 0) return Fail(result, "no package: the trailer's header offset is 0");
    if (std::memcmp(trailer.magic, kTrailerMagic, sizeof(kTrailerMagic)) != 0)
        return Fail(result, "no package trailer where the unpacker looks (magic missing)");
    if (trailer.formatVersion != kTrailerFormatVersion)
        return Fail(result, "unknown trailer format version " + Number(trailer.formatVersion));
    result.sha256 = Sha256::ToHex(storedDigest);
    for (uint8_t b : trailer.reserved)
        if (b != 0) return Fail(result, "the trailer's reserved bytes are not zero");
    if (trailerEnd % kAlignment != 0)
        return Fail(result, "the trailer ends at " + Number(trailerEnd) +
                                ", not a multiple of 8: signing would put bytes between it and the certificate table");
    if (trailer.headerOffset < facts.imageEnd)
        return Fail(result, "the header offset " + Number(trailer.headerOffset) + " lies inside the image, which ends at " +
                                Number(facts.imageEnd));
    if (trailer.headerOffset > trailerOffset)
        return Fail(result, "the header offset " + Number(trailer.headerOffset) + " lies behind the trailer at " +
                                Number(trailerOffset));
    if (trailer.packageLength != trailerOffset - trailer.headerOffset)
        return Fail(result, "the trailer's package length " + Number(trailer.packageLength) + " differs from the " +
                                Number(trailerOffset - trailer.headerOffset) +
                                " bytes between the header offset and the trailer");
    if (trailer.entryCount == 0 || trailer.entryCount > static_cast<uint32_t>(INT32_MAX))
        return Fail(result, "the trailer's entry count " + Number(trailer.entryCount) + " is out of range");

    // The unpacker's walk: record, data, record, data, ... until the count is reached.
    file.clear();
    file.seekg(static_cast<std::streamoff>(trailer.headerOffset), std::ios::beg);
    if (!file) return Fail(result, "cannot seek to the header offset");
    HashingReader reader(file);
    std::set<std::string> seen;
    uint64_t position = trailer.headerOffset;
    for (uint32_t i = 1; i <= trailer.entryCount; ++i) {
        const std::string which = "entry record " + Number(i) + " at " + Number(position);
        if (trailerOffset - position < kRecordSize) return Fail(result, which + " runs into the trailer");
        if (!reader.Read(bytes, sizeof(bytes))) return Fail(result, "cannot read " + which);
        EntryRecord record{};
        std::string name;
        ParseEntryRecord(bytes, sizeof(bytes), record, name);
        if (record.entryCount != static_cast<int32_t>(trailer.entryCount))
            return Fail(result, which + " holds entry count " + std::to_string(record.entryCount) +
                                    " but the trailer says " + Number(trailer.entryCount));
        if (record.marker != kRecordMarker)
            return Fail(result, which + " holds " + Number(record.marker) + " where 2 belongs");
        if (record.dataSize != record.dataSizeCopy)
            return Fail(result, which + " holds two different data sizes " + Number(record.dataSize) + " and " +
                                    Number(record.dataSizeCopy));
        if (std::memchr(record.name, '\0', kNameSize) == nullptr)
            return Fail(result, which + " has a name without a NUL within its 260 bytes");
        std::string reason;
        if (!CheckEntryName(name, reason)) return Fail(result, which + ": name " + reason);
        if (!seen.insert(Upper(name)).second)
            return Fail(result, which + ": name '" + name + "' repeats an earlier entry, whose file it would replace");
        position += kRecordSize;
        if (record.dataSize > trailerOffset - position)
            return Fail(result, which + ": its " + Number(record.dataSize) + " bytes of data run into the trailer");
        result.entries.push_back(InspectedEntry{name, position - kRecordSize, position, record.dataSize});
        if (!reader.Skip(record.dataSize)) return Fail(result, "cannot read the data of " + which);
        position += record.dataSize;
    }
    result.hasFiller = true;
    result.fillerOffset = position;
    result.fillerLength = trailerOffset - position;
    if (result.fillerLength >= kAlignment)
        return Fail(result, Number(result.fillerLength) +
                                " bytes lie between the last entry's data and the trailer (at most 7 filler bytes)");
    if (!reader.Skip(result.fillerLength)) return Fail(result, "cannot read the filler");
    if (reader.Finish() != storedDigest)
        return Fail(result, "SHA-256 of the package differs from the trailer's: the package was altered");
    return true;
}

}  // namespace package
