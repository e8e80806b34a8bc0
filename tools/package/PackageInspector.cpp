#include "tools/package/PackageInspector.h"

#include "tools/package/NameRules.h"
#include "tools/package/PackageWriter.h"
#include "tools/package/PeImage.h"
#include "tools/package/Sha256.h"
#include "unpack/layout/PackageParse.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

namespace package {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

namespace {

constexpr size_t kReadBufferSize = 64 * 1024;

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
    // Reads size bytes through a fixed buffer, handing each piece to use; a
    // false from use ends the read. Memory stays the same for any size.
    template <typename Use>
    bool Pass(uint64_t size, Use use) {
        while (size > 0) {
            size_t want = size < buffer_.size() ? static_cast<size_t>(size) : buffer_.size();
            if (!Read(buffer_.data(), want) || !use(buffer_.data(), want)) return false;
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

// Looks for a trailer of ours up to 64 KiB ahead of where the unpacker reads
// one: its magic, format version and a package length that ends right at it.
// Found, it tells that bytes were added behind the package.
bool FindEarlierTrailer(std::istream& file, uint64_t trailerOffset, uint64_t& found) {
    const uint64_t from = trailerOffset > 64 * 1024 ? trailerOffset - 64 * 1024 : 0;
    std::vector<uint8_t> bytes(static_cast<size_t>(trailerOffset - from) + kRecordSize);
    file.clear();
    if (!ReadAt(file, from, bytes.data(), bytes.size())) return false;
    for (size_t at = bytes.size() - kRecordSize; at-- > 0;) {
        if (std::memcmp(&bytes[at], kTrailerMagic, sizeof(kTrailerMagic)) != 0) continue;
        TrailerRecord trailer{};
        ParseTrailer(&bytes[at], kRecordSize, trailer);
        const uint64_t offset = from + at;
        if (trailer.formatVersion == kTrailerFormatVersion && trailer.headerOffset < offset &&
            trailer.packageLength == offset - trailer.headerOffset) {
            found = offset;
            return true;
        }
    }
    return false;
}

bool Fail(Inspection& result, const std::string& problem) {
    result.problem = problem;
    return false;
}

}  // namespace

bool WalkPackage(const std::string& path, Inspection& result, EntrySink* sink) {
    result = Inspection{};
    std::ifstream file(path, std::ios::binary);
    // In the system's words: errno from the C runtime's open, else the size's error.
    const std::string openReason = file ? std::string() : std::strerror(errno);
    std::error_code ec;
    uint64_t length = std::filesystem::file_size(std::filesystem::path(path), ec);
    if (!file || ec) return Fail(result, "cannot open '" + path + "': " + (file ? ec.message() : openReason));
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
    if (signedLength > 0 && trailerEnd != facts.securityOffset) {
        // Signing puts the table last: the file must end where the table does.
        const uint64_t tableEnd = uint64_t{facts.securityOffset} + facts.securityLength;
        if (length < tableEnd)
            return Fail(result, "the file is cut short: its certificate table ends at " + Number(tableEnd) +
                                    " but the file has " + Number(length) + " bytes; ask for the whole file");
        return Fail(result, Number(length - tableEnd) +
                                " bytes were appended after signing, behind the certificate table; ask for the file "
                                "as it was signed");
    }

    uint8_t bytes[kRecordSize];
    if (!ReadAt(file, trailerOffset, bytes, sizeof(bytes))) return Fail(result, "cannot read the trailer");
    TrailerRecord trailer{};
    ParseTrailer(bytes, sizeof(bytes), trailer);
    result.hasTrailer = true;
    result.trailerOffset = trailerOffset;
    result.headerOffset = trailer.headerOffset;
    // A stub that nothing was appended to: the file (or its signed part)
    // ends where the image does.
    const uint64_t packageEnd = signedLength > 0 ? facts.securityOffset : length;
    result.noTrailer = packageEnd <= facts.imageEnd;
    if (packageEnd < facts.imageEnd)
        return Fail(result, "the file is cut short inside the stub's image, which ends at " + Number(facts.imageEnd) +
                                " but the file" + (signedLength > 0 ? "'s signed part" : "") + " at " +
                                Number(packageEnd) + "; ask for the whole file");
    if (result.noTrailer)
        return Fail(result, "no package: nothing is appended to this stub, whose image ends at " +
                                Number(facts.imageEnd) + (signedLength > 0 ? ", where its certificate table begins"
                                                                            : ", where the file ends"));
    Sha256::Digest storedDigest{};
    std::memcpy(storedDigest.data(), trailer.sha256, storedDigest.size());

    // The unpacker reads only the header offset. A trailer without our magic
    // (another writer's, or a damaged one) can still be walked the unpacker's
    // way, but it proves nothing about the bytes.
    const bool hasDigest = std::memcmp(trailer.magic, kTrailerMagic, sizeof(kTrailerMagic)) == 0;
    // Bytes that are no trailer of ours mostly mean a file cut short or never
    // packaged; our trailer further ahead means bytes were added behind it.
    uint64_t movedTrailer = 0;
    result.noTrailer = !hasDigest && FindEarlierTrailer(file, trailerOffset, movedTrailer);
    if (result.noTrailer)
        return Fail(result, Number(trailerOffset - movedTrailer) + " bytes were appended behind the trailer at " +
                                Number(movedTrailer) + ", where the unpacker does not look for it; ask for the file " +
                                "as it was made");
    const std::string hint =
        hasDigest ? ""
                  : " (no upkpack trailer where the unpacker looks: the file is cut short, so ask for the whole "
                    "file, or it was never packaged)";
    // Another writer's trailer (the unpacker reads only the header offset)
    // must at least point into the appended bytes to be walked. Bytes that
    // do not are named by what they are not: the number read from them would
    // be garbage shown as a fact.
    result.noTrailer = !hasDigest && (trailer.headerOffset == 0 || trailer.headerOffset < facts.imageEnd ||
                                      trailer.headerOffset > trailerOffset || trailerEnd % kAlignment != 0);
    if (result.noTrailer)
        return Fail(result, "no package trailer where the unpacker looks: the bytes there are not upkpack's "
                            "trailer and point at no package; the file is cut short, so ask for the whole file, or "
                            "it was never packaged");
    if (trailer.headerOffset == 0) return Fail(result, "no package: the trailer's header offset is 0");
    if (hasDigest) {
        if (trailer.formatVersion != kTrailerFormatVersion)
            return Fail(result, "unknown trailer format version " + Number(trailer.formatVersion));
        result.sha256 = Sha256::ToHex(storedDigest);
        for (uint8_t b : trailer.reserved)
            if (b != 0) return Fail(result, "the trailer's reserved bytes are not zero");
    }
    if (trailerEnd % kAlignment != 0)
        return Fail(result, "the trailer ends at " + Number(trailerEnd) +
                                ", not a multiple of 8: signing would put bytes between it and the certificate table");
    if (trailer.headerOffset < facts.imageEnd)
        return Fail(result, "the header offset " + Number(trailer.headerOffset) +
                                " lies inside the image, which ends at " + Number(facts.imageEnd));
    if (trailer.headerOffset > trailerOffset)
        return Fail(result, "the header offset " + Number(trailer.headerOffset) + " lies behind the trailer at " +
                                Number(trailerOffset));
    if (hasDigest && trailer.packageLength != trailerOffset - trailer.headerOffset)
        return Fail(result, "the trailer's package length " + Number(trailer.packageLength) + " differs from the " +
                                Number(trailerOffset - trailer.headerOffset) +
                                " bytes between the header offset and the trailer");
    if (hasDigest && (trailer.entryCount == 0 || trailer.entryCount > static_cast<uint32_t>(INT32_MAX)))
        return Fail(result, "the trailer's entry count " + Number(trailer.entryCount) + " is out of range");

    // The unpacker's walk: record, data, record, data, ... until the count is
    // reached. Without our trailer, the first record's count is all there is.
    file.clear();
    file.seekg(static_cast<std::streamoff>(trailer.headerOffset), std::ios::beg);
    if (!file) return Fail(result, "cannot seek to the header offset" + hint);
    HashingReader reader(file);
    std::map<std::string, size_t> seen;  // upper-cased name -> its entry's number
    std::string firstRefusal;
    uint64_t position = trailer.headerOffset;
    uint32_t count = hasDigest ? trailer.entryCount : 0;
    for (uint32_t i = 1; i == 1 || i <= count; ++i) {
        const std::string which = "entry record " + Number(i) + " at " + Number(position);
        if (trailerOffset - position < kRecordSize) return Fail(result, which + " runs into the trailer" + hint);
        if (!reader.Read(bytes, sizeof(bytes))) return Fail(result, "cannot read " + which + hint);
        EntryRecord record{};
        std::string name;
        ParseEntryRecord(bytes, sizeof(bytes), record, name);
        if (!hasDigest && i == 1) {
            if (record.entryCount <= 0)
                return Fail(result, which + " holds entry count " + std::to_string(record.entryCount) +
                                        ": the unpacker would extract nothing" + hint);
            count = static_cast<uint32_t>(record.entryCount);
        }
        if (record.entryCount != static_cast<int32_t>(count))
            return Fail(result, which + " holds entry count " + std::to_string(record.entryCount) + " but " +
                                    (hasDigest ? "the trailer says " : "the first record says ") + Number(count) +
                                    hint);
        if (record.marker != kRecordMarker)
            return Fail(result, which + " holds " + Number(record.marker) + " where 2 belongs" + hint);
        if (record.dataSize != record.dataSizeCopy)
            return Fail(result, which + " holds two different data sizes " + Number(record.dataSize) + " and " +
                                    Number(record.dataSizeCopy) + hint);
        if (std::memchr(record.name, '\0', kNameSize) == nullptr)
            return Fail(result, which + " has a name without a NUL within its 260 bytes" + hint);
        position += kRecordSize;
        if (record.dataSize > trailerOffset - position)
            return Fail(result,
                        which + ": its " + Number(record.dataSize) + " bytes of data run into the trailer" + hint);

        // A name the unpacker must not write is reported and passed over, as
        // the unpacker passes over a file it cannot create.
        InspectedEntry entry{name, position - kRecordSize, position, record.dataSize, "", ""};
        std::string nameReason;
        if (!CheckEntryName(name, nameReason))
            entry.refusal = "name " + nameReason;
        else if (auto [named, fresh] = seen.emplace(Upper(name), i); !fresh)
            entry.replaces = std::exchange(named->second, i);
        if (!entry.refusal.empty() && firstRefusal.empty()) firstRefusal = which + ": " + entry.refusal;
        if (entry.replaces != 0 && firstRefusal.empty())
            firstRefusal = which + ": name '" + name + "' repeats entry " + Number(entry.replaces) +
                           "'s, whose file the unpacker replaces with this one";

        std::string sinkReason;
        if (sink != nullptr && !sink->BeginEntry(entry, sinkReason)) return Fail(result, sinkReason);
        Sha256 entrySha;
        bool sinkFailed = false;
        bool read = reader.Pass(record.dataSize, [&](const char* data, size_t size) {
            entrySha.Update(data, size);
            if (sink != nullptr && entry.refusal.empty() && !sink->EntryData(data, size, sinkReason)) {
                sinkFailed = true;
                return false;
            }
            return true;
        });
        if (sinkFailed) return Fail(result, sinkReason);
        if (!read) return Fail(result, "cannot read the data of " + which + hint);
        entry.sha256 = Sha256::ToHex(entrySha.Finish());
        result.entries.push_back(entry);
        if (sink != nullptr && !sink->EndEntry(entry, sinkReason)) return Fail(result, sinkReason);
        position += record.dataSize;
    }
    result.hasFiller = true;
    result.fillerOffset = position;
    result.fillerLength = trailerOffset - position;
    if (result.fillerLength >= kAlignment)
        return Fail(result, Number(result.fillerLength) +
                                " bytes lie between the last entry's data and the trailer (at most 7 filler bytes)" +
                                hint);
    if (!reader.Pass(result.fillerLength, [](const char*, size_t) { return true; }))
        return Fail(result, "cannot read the filler" + hint);
    const Sha256::Digest found = reader.Finish();
    result.foundSha256 = Sha256::ToHex(found);
    if (!hasDigest)
        return Fail(result,
                    "no package trailer of upkpack where the unpacker looks (magic missing): "
                    "nothing proves the entries intact");
    if (found != storedDigest)
        return Fail(result, "SHA-256 of the package is " + result.foundSha256 + " but the trailer says " +
                                result.sha256 + ": the package was altered");
    if (!firstRefusal.empty()) return Fail(result, firstRefusal);
    return true;
}

void CheckEntryCabinets(const std::string& path, Inspection& result) {
    for (size_t i = 0; i < result.entries.size(); ++i) {
        InspectedEntry& e = result.entries[i];
        if (!IsCabinetName(e.name)) continue;
        e.isCabinet = true;
        e.cabinet = CheckCabinet(path, e.dataOffset, e.size);
        std::vector<std::string> names;
        for (const CabinetFile& file : e.cabinet.files) names.push_back(file.name);
        for (const NameVerdict& verdict : CheckCabinetNames(names))
            result.cabinetNames.push_back({i + 1, verdict.name, verdict.reason});
    }
}

}  // namespace package
