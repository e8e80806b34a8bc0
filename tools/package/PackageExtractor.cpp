#include "tools/package/PackageExtractor.h"

#include "tools/cabinet/CabinetCheck.h"
#include "tools/package/PackageWriter.h"
#include "tools/package/Sha256.h"
#include "unpack/layout/PackageParse.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace package {
namespace {

namespace fs = std::filesystem;

bool Fail(Extraction& result, const std::string& problem) {
    result.problem = problem;
    return false;
}

// Writes the entries the walk hands over, each into a file of its own that it
// creates; remembers the one being written so that a failure can remove it.
class FolderSink : public EntrySink {
public:
    FolderSink(const fs::path& folder, Extraction& result) : folder_(folder), result_(result) {}
    ~FolderSink() override { Abandon(); }

    bool BeginEntry(const InspectedEntry& entry, std::string& reason) override {
        result_.entries.push_back(ExtractedEntry{entry.name, entry.size, "", false, entry.refusal, entry.replaces});
        if (!entry.refusal.empty()) return true;
        // The unpacker creates each file afresh: a later entry of a name
        // replaces the earlier one's file, written by this run.
        if (entry.replaces != 0 && entry.replaces < result_.entries.size()) {
            ExtractedEntry& earlier = result_.entries[entry.replaces - 1];
            std::error_code ec;
            if (earlier.written && !fs::remove(folder_ / earlier.name, ec)) {
                reason = "cannot remove '" + (folder_ / earlier.name).string() + "' to replace it with entry " +
                         std::to_string(result_.entries.size()) + (ec ? ": " + ec.message() : std::string());
                return false;
            }
            earlier.written = false;
            earlier.replacedBy = result_.entries.size();
        }
        current_ = folder_ / entry.name;
        file_ = CreateNewFile(current_);
        if (file_ == nullptr) {
            const int error = errno;
            reason =
                "cannot create '" + current_.string() + "': " +
                (error == EEXIST ? std::string("something of that name is in the folder (a link that points nowhere, "
                                               "or one made meanwhile), which extract never replaces or follows")
                                 : std::string(std::strerror(error)));
            current_.clear();
            return false;
        }
        return true;
    }

    bool EntryData(const void* data, size_t size, std::string& reason) override {
        if (std::fwrite(data, 1, size, file_) != size) {
            reason = "cannot write '" + current_.string() + "' (disk full?)";
            return false;
        }
        result_.bytesWritten += size;
        return true;
    }

    bool EndEntry(const InspectedEntry& entry, std::string& reason) override {
        result_.entries.back().sha256 = entry.sha256;
        if (!entry.refusal.empty()) return true;
        FILE* file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) {
            reason = "cannot finish writing '" + current_.string() + "' (disk full?)";
            return false;
        }
        result_.entries.back().written = true;
        current_.clear();
        return true;
    }

    // Closes and removes the file whose writing was cut short; says what happened.
    std::string Abandon() {
        if (current_.empty()) return std::string();
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
        std::error_code ec;
        std::string note = fs::remove(current_, ec) ? "removed the partial file '" + current_.string() + "'"
                                                    : "could not remove the partial file '" + current_.string() + "'" +
                                                          (ec ? ": " + ec.message() : std::string());
        current_.clear();
        return note;
    }

private:
    fs::path folder_;
    Extraction& result_;
    fs::path current_;
    FILE* file_ = nullptr;
};

// The unpacker's own walk, for a package whose damage stops the checked one:
// records and data one after the other from the header offset, each record's
// count and first data size taken as they stand, a name it would not write
// passed over, data cut by the end of the file written as far as it goes;
// it stops at the count, at the file's end or at a record cut short.
bool UnpackersWalk(const std::string& path, uint64_t headerOffset, EntrySink* sink, Extraction* result,
                   std::vector<InspectedEntry>& entries, std::string& problem) {
    entries.clear();
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(headerOffset), std::ios::beg);
    if (!file) {
        problem = "cannot read '" + path + "' from the header offset";
        return false;
    }
    std::map<std::string, size_t> seen;
    std::vector<char> buffer(64 * 1024);
    uint64_t position = headerOffset;
    for (int32_t number = 1;; ++number) {
        uint8_t bytes[kRecordSize];
        file.read(reinterpret_cast<char*>(bytes), sizeof(bytes));
        if (static_cast<size_t>(file.gcount()) < sizeof(bytes)) break;
        EntryRecord record{};
        std::string name;
        ParseEntryRecord(bytes, sizeof(bytes), record, name);
        if (number > record.entryCount) break;
        InspectedEntry entry{name, position, position + kRecordSize, record.dataSize, "", ""};
        std::string reason;
        if (!CheckEntryName(name, reason)) {
            entry.refusal = "name " + reason;
        } else {
            if (auto [named, fresh] = seen.emplace(Upper(name), entries.size() + 1); !fresh)
                entry.replaces = std::exchange(named->second, entries.size() + 1);
        }
        if (sink != nullptr && !sink->BeginEntry(entry, problem)) return false;
        Sha256 sha;
        uint64_t left = record.dataSize;
        while (left > 0) {
            const size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
            file.read(buffer.data(), static_cast<std::streamsize>(want));
            const size_t got = static_cast<size_t>(file.gcount());
            sha.Update(buffer.data(), got);
            if (sink != nullptr && entry.refusal.empty() && got > 0 && !sink->EntryData(buffer.data(), got, problem))
                return false;
            left -= got;
            if (got < want) break;
        }
        entry.sha256 = Sha256::ToHex(sha.Finish());
        entries.push_back(entry);
        if (sink != nullptr && !sink->EndEntry(entry, problem)) return false;
        if (result != nullptr && left > 0) result->entries.back().cutShort = true;
        if (left > 0) break;  // the file ended: the next read finds nothing
        position += kRecordSize + record.dataSize;
        if (number == record.entryCount) break;
    }
    return true;
}

size_t CountWritten(const Extraction& result) {
    size_t written = 0;
    for (const ExtractedEntry& entry : result.entries) written += entry.written ? 1 : 0;
    return written;
}

}  // namespace

// fopen's "x" refuses any existing name where the C runtime honours it; the
// msvcrt.dll that MinGW links does not promise it (Wine's
// ignores it and truncates), so there the runtime's exclusive open is used.
FILE* CreateNewFile(const std::filesystem::path& path) {
#ifdef _WIN32
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) _close(fd);
    return file;
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

bool ExtractPackage(const std::string& path, const std::string& folder, bool verify, Extraction& result,
                    bool expand) {
    result = Extraction{};

    // First pass: layout and digest, before a single byte is written.
    const Inspection& first = result.inspection;
    WalkPackage(path, result.inspection, nullptr);
    std::vector<InspectedEntry> planned = first.entries;
    if (first.foundSha256.empty()) {
        // Damage stopped the walk. The unpacker, where it finds a header
        // offset ahead of its trailer, walks on regardless: --no-verify
        // writes what it would.
        const bool unpackerFindsOne =
            first.hasTrailer && first.headerOffset != 0 && first.headerOffset < first.trailerOffset;
        if (verify || !unpackerFindsOne)
            return Fail(result, first.problem + (unpackerFindsOne ? "; nothing extracted (--no-verify writes what "
                                                                    "the unpacker would)"
                                                                  : ""));
        result.unverified = first.problem;
        result.unpackersWalk = true;
        std::string problem;
        if (!UnpackersWalk(path, first.headerOffset, nullptr, nullptr, planned, problem))
            return Fail(result, problem);
    } else if (first.sha256.empty()) {
        result.noDigest = true;  // another writer's package: the format allows it
    } else if (first.sha256 != first.foundSha256) {
        const std::string why =
            "SHA-256 of the package: expected " + first.sha256 + " (trailer), found " + first.foundSha256;
        if (verify) return Fail(result, why + "; nothing extracted (--no-verify extracts anyway)");
        result.unverified = why;
    } else {
        result.verified = true;
    }

    // The folder is made first and every name checked in it before anything is
    // written, so that a clash, or a name the file system cannot hold, leaves
    // things as they were.
    const fs::path dir(folder);
    std::error_code ec;
    const fs::file_status dirStatus = fs::symlink_status(dir, ec);
    if (fs::is_symlink(dirStatus)) return Fail(result, "'" + folder + "' is a symbolic link: name the folder itself");
    if (fs::exists(dirStatus) && !fs::is_directory(dirStatus))
        return Fail(result, "'" + folder + "' exists and is not a folder");
    std::vector<fs::path> made;  // the folders this run creates, deepest first
    // A root's parent is the root itself: on Windows, a drive that does not
    // exist must end the climb there rather than go round.
    for (fs::path missing = dir; !missing.empty() && !fs::exists(fs::symlink_status(missing, ec));
         missing = missing.parent_path()) {
        made.push_back(missing);
        if (missing.parent_path() == missing) break;
    }
    if (!made.empty() && !fs::create_directories(dir, ec) && ec)
        return Fail(result, "cannot create the folder '" + folder + "': " + ec.message());
    std::string refusal;
    for (const InspectedEntry& entry : planned) {
        if (!entry.refusal.empty()) continue;
        const fs::path target = dir / entry.name;
        const fs::file_status status = fs::symlink_status(target, ec);
        if (fs::exists(status)) {
            refusal =
                "'" + target.string() +
                "' exists already: extract never replaces or follows anything in the folder (choose an empty one)";
            break;
        }
        if (ec && status.type() != fs::file_type::not_found) {
            refusal = "cannot use '" + target.string() + "': " + ec.message();
            break;
        }
    }
    if (!refusal.empty()) {
        for (const fs::path& folderMade : made) fs::remove(folderMade, ec);  // empty, as made
        return Fail(result, refusal);
    }

    // Second pass: the same walk, writing as it goes.
    FolderSink sink(dir, result);
    Inspection second;
    std::string problem;
    bool walked = true;
    if (result.unpackersWalk) {
        std::vector<InspectedEntry> entries;
        walked = UnpackersWalk(path, first.headerOffset, &sink, &result, entries, problem);
    } else {
        WalkPackage(path, second, &sink);
        walked = !second.foundSha256.empty();
        problem = second.problem;
    }
    if (!walked) {
        std::string note = sink.Abandon();
        const size_t written = CountWritten(result);
        if (written > 0)
            note += (note.empty() ? "" : "; ") + std::to_string(written) +
                    " file(s) written before the failure stay in '" + folder + "'";
        result.leftBehind = note;
        return Fail(result, problem);
    }
    if (!result.unpackersWalk && second.foundSha256 != first.foundSha256)
        return Fail(result, "the package changed while it was extracted (its SHA-256 is now " + second.foundSha256 +
                                "): the files written are not the ones checked");
    // What the install step's expand would find in the folder: the .cab files written.
    std::vector<std::string> cabinets;
    for (const ExtractedEntry& entry : result.entries)
        if (expand && entry.written && IsCabinetName(entry.name)) cabinets.push_back((dir / entry.name).string());
    ExpandCabinets(cabinets, folder, result.expansions);
    if (!result.verified && !result.noDigest)
        return Fail(result, "extracted without verification: " + result.unverified);
    for (const ExtractedEntry& entry : result.entries)
        if (!entry.skipped.empty()) return Fail(result, "'" + entry.name + "' was not written: " + entry.skipped);
    for (const Expansion& expansion : result.expansions) {
        if (!expansion.problem.empty())
            return Fail(result, "cannot expand '" + expansion.cabinet + "' whole: " + expansion.problem);
        for (const ExpandedFile& file : expansion.files)
            if (!file.written)
                return Fail(result, "'" + file.name + "' of '" + expansion.cabinet + "' was not written: " + file.skipped);
    }
    return true;
}

}  // namespace package
