#include "tools/package/PackageWriter.h"

#include "tools/cabinet/CabinetCheck.h"
#include "tools/package/NameRules.h"
#include "tools/package/PeImage.h"
#include "tools/package/Sha256.h"
#include "unpack/layout/PackageParse.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace package {
namespace {

namespace fs = std::filesystem;

constexpr size_t kCopyBufferSize = 64 * 1024;

struct Entry {
    std::string path;
    std::string name;
    uint64_t size = 0;
};

// Why the last open failed, in the system's words (the C runtime's, on which
// the streams open files).
std::string SystemReason() {
    return std::strerror(errno);
}

// Writes to the output and, once the package has begun, into its hash; counts
// every byte so that offsets stay 64-bit however large the inputs are.
class PackageSink {
public:
    explicit PackageSink(std::ofstream& out) : out_(out) {}
    bool Write(const void* data, size_t size) {
        out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out_) return false;
        if (hashing_) sha_.Update(data, size);
        written_ += size;
        return true;
    }
    void StartHashing() { hashing_ = true; }
    Sha256::Digest FinishHash() {
        hashing_ = false;
        return sha_.Finish();
    }
    uint64_t Written() const { return written_; }

private:
    std::ofstream& out_;
    Sha256 sha_;
    bool hashing_ = false;
    uint64_t written_ = 0;
};

// Copies exactly size bytes of path into the sink; a file that is shorter or
// longer now than when it was measured fails, rather than leaving records whose
// sizes lie.
bool CopyFileInto(const std::string& path, uint64_t size, PackageSink& sink, std::vector<char>& buffer,
                  std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open '" + path + "' for reading: " + SystemReason();
        return false;
    }
    uint64_t left = size;
    while (left > 0) {
        size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
        in.read(buffer.data(), static_cast<std::streamsize>(want));
        size_t got = static_cast<size_t>(in.gcount());
        if (got > 0 && !sink.Write(buffer.data(), got)) {
            error = "cannot write the output (disk full?)";
            return false;
        }
        if (got < want) {
            error = "'" + path + "' became shorter while it was being packed";
            return false;
        }
        left -= got;
    }
    if (in.peek() != std::ifstream::traits_type::eof()) {
        error = "'" + path + "' grew while it was being packed";
        return false;
    }
    return true;
}

// A stub and a cabinet given the wrong way round: the stub is a cabinet, or
// one of the files is a Windows program.
bool LooksSwapped(std::istream& stub, const std::vector<Entry>& entries) {
    auto startsWith = [](std::istream& in, const char* magic, size_t size) {
        char bytes[4] = {};
        in.clear();
        in.seekg(0, std::ios::beg);
        in.read(bytes, static_cast<std::streamsize>(size));
        return static_cast<size_t>(in.gcount()) == size && std::memcmp(bytes, magic, size) == 0;
    };
    if (startsWith(stub, "MSCF", 4)) return true;
    for (const Entry& entry : entries) {
        std::ifstream in(entry.path, std::ios::binary);
        if (in && startsWith(in, "MZ", 2)) return true;
    }
    return false;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(fs::path(a), fs::path(b), ec) && !ec;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The trailer of an earlier packing, or any tail that reads like one, in a
// stub would make the unpacker find that old package instead of ours.
bool LooksPackaged(std::istream& stub, const PeFacts& facts, std::string& what) {
    if (facts.fileLength < 2 * kRecordSize) return false;
    uint8_t tail[kRecordSize];
    if (!ReadAt(stub, facts.fileLength - kRecordSize, tail, sizeof(tail))) return false;
    if (std::memcmp(tail, kTrailerMagic, sizeof(kTrailerMagic)) == 0) {
        what = "it ends with a package trailer";
        return true;
    }
    uint64_t headerOffset = 0;
    ParseTrailerHeaderOffset(tail, sizeof(tail), headerOffset);
    uint64_t trailerOffset = facts.fileLength - kRecordSize;
    if (headerOffset < kDosHeaderSize || headerOffset > trailerOffset - kRecordSize) return false;
    uint8_t bytes[kRecordSize];
    if (!ReadAt(stub, headerOffset, bytes, sizeof(bytes))) return false;
    EntryRecord record{};
    std::string name;
    ParseEntryRecord(bytes, sizeof(bytes), record, name);
    bool plausible = record.entryCount > 0 && record.marker == kRecordMarker && record.dataSize == record.dataSizeCopy &&
                     record.dataSize <= trailerOffset - headerOffset - kRecordSize;
    if (plausible) what = "its last 284 bytes name an entry record at offset " + std::to_string(headerOffset);
    return plausible;
}

bool CheckStub(const std::string& stubPath, std::ifstream& stub, const std::vector<Entry>& entries, PeFacts& facts,
               std::string& error) {
    std::error_code ec;
    uint64_t length = fs::file_size(fs::path(stubPath), ec);
    if (ec) {
        error = "cannot read the size of stub '" + stubPath + "'";
        return false;
    }
    std::string reason;
    if (!ReadPeFacts(stub, length, facts, reason)) {
        error = "stub '" + stubPath + "' is not usable: " + reason;
        if (LooksSwapped(stub, entries))
            error += ". Are the stub and the cabinet swapped? The stub is UnPackFile.exe: "
                     "upkpack pack --stub UnPackFile.exe --out Packaged.exe package1.cab";
        return false;
    }
    if (facts.securityOffset != 0 || facts.securityLength != 0) {
        error = "stub '" + stubPath + "' is already signed (it has a certificate table): sign after packing";
        return false;
    }
    if (LooksPackaged(stub, facts, reason)) {
        error = "stub '" + stubPath + "' already carries a package (" + reason + "): use the unpacked stub";
        return false;
    }
    if (facts.imageEnd > length) {
        error = "stub '" + stubPath + "' is truncated: its sections end at " + std::to_string(facts.imageEnd) +
                " but the file has " + std::to_string(length) + " bytes";
        return false;
    }
    if (facts.imageEnd < length) {
        // Bytes behind the last section (a symbol table when linked without -s,
        // or an old package) would sit between the image and our package.
        error = "stub '" + stubPath + "' has " + std::to_string(length - facts.imageEnd) +
                " bytes behind its last section (link it with -s, and use an unpacked stub)";
        return false;
    }
    return true;
}

bool CollectEntries(const std::vector<std::string>& inputPaths, std::vector<Entry>& entries, std::string& error) {
    if (inputPaths.empty()) {
        // A package without entries would make the unpacker read the trailer as an entry record.
        error = "nothing to pack: give at least one file";
        return false;
    }
    if (inputPaths.size() > static_cast<size_t>(INT32_MAX)) {
        error = "too many files";
        return false;
    }
    std::set<std::string> seen;
    for (const std::string& path : inputPaths) {
        Entry entry;
        entry.path = path;
        entry.name = BaseName(path);
        std::string reason;
        if (!CheckEntryName(entry.name, reason)) {
            error = "'" + path + "': entry name " + reason;
            return false;
        }
        // The unpacker passes over an entry it cannot write below its folder.
        reason = CabinetPathProblem(entry.name);
        if (!reason.empty()) {
            error = "'" + path + "': " + reason;
            return false;
        }
        // Windows names are case-insensitive: a second entry of the same name
        // would silently replace the first one's file when unpacked.
        if (!seen.insert(Upper(entry.name)).second) {
            error = "'" + path + "': a file named '" + entry.name + "' is already in the package";
            return false;
        }
        std::error_code ec;
        const fs::file_status status = fs::status(fs::path(path), ec);
        if (ec || !fs::exists(status)) {
            error = "cannot open '" + path + "': " +
                    (ec ? ec.message() : std::make_error_code(std::errc::no_such_file_or_directory).message());
            return false;
        }
        if (!fs::is_regular_file(status)) {
            error = "'" + path + "' is not a regular file";
            return false;
        }
        entry.size = fs::file_size(fs::path(path), ec);
        if (ec) {
            error = "cannot read the size of '" + path + "'";
            return false;
        }
        entries.push_back(entry);
    }
    return true;
}

// The first file of one list that the other lacks (by name and size).
bool SameFiles(std::vector<CabinetFile> folder, std::vector<CabinetFile> cabinet, std::string& difference) {
    auto before = [](const CabinetFile& a, const CabinetFile& b) {
        return a.name != b.name ? a.name < b.name : a.size < b.size;
    };
    std::sort(folder.begin(), folder.end(), before);
    std::sort(cabinet.begin(), cabinet.end(), before);
    std::vector<CabinetFile> onlyFolder, onlyCabinet;
    std::set_difference(folder.begin(), folder.end(), cabinet.begin(), cabinet.end(), std::back_inserter(onlyFolder),
                        before);
    std::set_difference(cabinet.begin(), cabinet.end(), folder.begin(), folder.end(), std::back_inserter(onlyCabinet),
                        before);
    const bool inFolder = !onlyFolder.empty();
    if (!inFolder && onlyCabinet.empty()) return true;
    const CabinetFile& file = inFolder ? onlyFolder[0] : onlyCabinet[0];
    difference = "'" + file.name + "' (" + std::to_string(file.size) + " bytes) is in the " +
                 (inFolder ? "folder but not in the cabinet" : "cabinet but not in the folder");
    return false;
}

// What the install step would do with the entries: expand each `.cab`, pass
// over the rest. A cabinet it cannot read, or none at all, fails there.
bool CheckCabinets(const std::vector<Entry>& entries, const PackOptions& options, std::vector<std::string>* notes,
                   std::string& error) {
    bool anyCabinet = false;
    for (const Entry& entry : entries) {
        if (!IsCabinetName(entry.name)) {
            if (notes != nullptr)
                notes->push_back("'" + entry.name + "' is not a .cab: it is unpacked, but expand passes over it");
            continue;
        }
        anyCabinet = true;
        if (!options.checkCabinets) continue;
        const CabinetCheck check = CheckCabinet(entry.path, 0, entry.size);
        if (!check.ok) {
            error = "'" + entry.path + "': expand.exe would fail on this cabinet: " + check.reason +
                    "; make the cabinet again";
            return false;
        }
        std::vector<std::string> names;
        for (const CabinetFile& file : check.files) names.push_back(file.name);
        const std::vector<NameVerdict> verdicts = CheckCabinetNames(names);
        if (!verdicts.empty()) {
            error = "'" + entry.path + "': its file '" + verdicts[0].name + "': " + verdicts[0].reason;
            return false;
        }
        if (options.folderFiles != nullptr && !SameFiles(*options.folderFiles, check.files, error)) {
            error = "'" + entry.path + "' does not hold exactly the folder's files: " + error;
            return false;
        }
    }
    if (options.checkCabinets && !anyCabinet) {
        error = "no .cab among the files: nothing would be installed; pack the upgrade's cabinet";
        return false;
    }
    return true;
}

bool WritePackage(std::ifstream& stub, const PeFacts& facts, const std::vector<Entry>& entries, std::ofstream& out,
                  std::string& error) {
    std::vector<char> buffer(kCopyBufferSize);
    PackageSink sink(out);

    // The image, as it is: the package starts where it ends.
    stub.clear();
    stub.seekg(0, std::ios::beg);
    uint64_t left = facts.fileLength;
    while (left > 0) {
        size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
        stub.read(buffer.data(), static_cast<std::streamsize>(want));
        if (static_cast<size_t>(stub.gcount()) != want) {
            error = "cannot read the stub";
            return false;
        }
        if (!sink.Write(buffer.data(), want)) {
            error = "cannot write the output (disk full?)";
            return false;
        }
        left -= want;
    }

    const uint64_t headerOffset = sink.Written();
    sink.StartHashing();
    const int32_t count = static_cast<int32_t>(entries.size());
    for (const Entry& entry : entries) {
        uint8_t record[kRecordSize];
        EncodeEntryRecord(count, entry.size, entry.name, record);
        if (!sink.Write(record, sizeof(record))) {
            error = "cannot write the output (disk full?)";
            return false;
        }
        if (!CopyFileInto(entry.path, entry.size, sink, buffer, error)) return false;
    }
    static const uint8_t kZeros[kAlignment] = {};
    if (!sink.Write(kZeros, FillerLength(sink.Written()))) {
        error = "cannot write the output (disk full?)";
        return false;
    }

    TrailerRecord trailer{};
    std::memcpy(trailer.magic, kTrailerMagic, sizeof(trailer.magic));
    trailer.headerOffset = headerOffset;
    trailer.formatVersion = kTrailerFormatVersion;
    trailer.entryCount = static_cast<uint32_t>(count);
    trailer.packageLength = sink.Written() - headerOffset;
    Sha256::Digest digest = sink.FinishHash();
    std::memcpy(trailer.sha256, digest.data(), digest.size());
    uint8_t bytes[kRecordSize];
    EncodeTrailer(trailer, bytes);
    if (!sink.Write(bytes, sizeof(bytes))) {
        error = "cannot write the output (disk full?)";
        return false;
    }
    out.flush();
    out.close();
    if (out.fail()) {
        error = "cannot finish writing the output (disk full?)";
        return false;
    }
    return true;
}

}  // namespace

std::string BaseName(const std::string& path) {
#ifdef _WIN32
    size_t cut = path.find_last_of("\\/:");
#else
    size_t cut = path.find_last_of('/');
#endif
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool CheckEntryName(const std::string& name, std::string& reason) {
    if (name.empty()) {
        reason = "is empty";
        return false;
    }
    if (name.size() > kMaxNameLength) {
        reason = "is longer than " + std::to_string(kMaxNameLength) + " bytes";
        return false;
    }
    std::wstring wide;
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        // The unpacker converts names with its own ANSI code page, which the
        // writer cannot know: only ASCII means the same everywhere.
        if (byte >= 0x80) {
            reason = "'" + name + "' is not plain ASCII (its meaning would depend on the target's code page)";
            return false;
        }
        wide += static_cast<wchar_t>(byte);
    }
    if (!IsSafeEntryName(wide)) {
        reason = "'" + name +
                 "' is not a plain file name (no path, drive, '.', '..', device name, trailing dot or blank, "
                 "or character Windows refuses)";
        return false;
    }
    return true;
}

bool CheckOutputPath(const std::string& outputPath, bool force, const std::string& packedFolder, std::string& error) {
    std::error_code ec;
    const fs::path out(outputPath);
    if (fs::is_directory(out, ec)) {
        error = "--out '" + outputPath + "' is a folder: name the packaged file to write, e.g. '" +
                (out / "UnPackFile.exe").string() + "'";
        return false;
    }
    if (!packedFolder.empty()) {
        const fs::path relative = fs::weakly_canonical(out, ec).lexically_relative(fs::canonical(packedFolder, ec));
        if (!ec && !relative.empty() && *relative.begin() != "..") {
            error = "--out '" + outputPath + "' lies inside the folder being packed, '" + packedFolder +
                    "': the next package of that folder would carry this one; write it elsewhere";
            return false;
        }
    }
    if (!force && fs::exists(fs::symlink_status(out, ec))) {
        error = "--out '" + outputPath + "' exists already: give --force to replace it";
        return false;
    }
    return true;
}

bool PackFiles(const std::string& stubPath, const std::vector<std::string>& inputPaths, const std::string& outputPath,
               std::string& error, const PackOptions& options, std::vector<std::string>* notes) {
    std::vector<Entry> entries;
    if (!CollectEntries(inputPaths, entries, error)) return false;

    std::ifstream stub(stubPath, std::ios::binary);
    if (!stub) {
        error = "cannot open stub '" + stubPath + "': " + SystemReason();
        return false;
    }
    PeFacts facts;
    if (!CheckStub(stubPath, stub, entries, facts, error)) return false;

    if (SameFile(outputPath, stubPath)) {
        error = "the output would replace the stub '" + stubPath + "'";
        return false;
    }
    for (const Entry& entry : entries) {
        if (SameFile(outputPath, entry.path)) {
            error = "the output would replace the input '" + entry.path + "'";
            return false;
        }
    }

    if (!CheckCabinets(entries, options, notes, error)) return false;

    // Written beside the output and renamed at the end, so that a failure
    // leaves no half-written package behind.
    const std::string partialPath = outputPath + ".partial";
    std::ofstream out(partialPath, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create '" + partialPath + "': " + SystemReason();
        return false;
    }
    bool written = WritePackage(stub, facts, entries, out, error);
    if (out.is_open()) out.close();
    std::error_code ec;
    if (!written) {
        fs::remove(fs::path(partialPath), ec);
        return false;
    }
    fs::rename(fs::path(partialPath), fs::path(outputPath), ec);
    if (ec) {
        error = "cannot rename '" + partialPath + "' to '" + outputPath + "': " + ec.message();
        fs::remove(fs::path(partialPath), ec);
        return false;
    }
    return true;
}

}  // namespace package
