#include "tools/package/PackageExtractor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace package {
namespace {

namespace fs = std::filesystem;

// Creates path for writing and fails when anything at all already has that
// name (a file, a folder, a link, even one that points nowhere), so nothing is
// replaced and no link is followed. fopen's "x" does this where the C runtime
// honours it; the msvcrt.dll that MinGW links does not promise it (Wine's
// ignores it and truncates), so there the runtime's exclusive open is used.
FILE* CreateNew(const fs::path& path) {
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
        result_.entries.push_back(ExtractedEntry{entry.name, entry.size, "", false, entry.refusal});
        if (!entry.refusal.empty()) return true;
        current_ = folder_ / entry.name;
        file_ = CreateNew(current_);
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

size_t CountWritten(const Extraction& result) {
    size_t written = 0;
    for (const ExtractedEntry& entry : result.entries) written += entry.written ? 1 : 0;
    return written;
}

}  // namespace

bool ExtractPackage(const std::string& path, const std::string& folder, bool verify, Extraction& result) {
    result = Extraction{};

    // First pass: layout and digest, before a single byte is written.
    const Inspection& first = result.inspection;
    WalkPackage(path, result.inspection, nullptr);
    if (first.foundSha256.empty()) return Fail(result, first.problem);
    if (first.sha256.empty() || first.sha256 != first.foundSha256) {
        const std::string why = first.sha256.empty() ? "the trailer carries no SHA-256 (not a package upkpack wrote)"
                                                     : "SHA-256 of the package: expected " + first.sha256 +
                                                           " (trailer), found " + first.foundSha256;
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
    for (fs::path missing = dir; !missing.empty() && !fs::exists(fs::symlink_status(missing, ec));
         missing = missing.parent_path())
        made.push_back(missing);
    if (!made.empty() && !fs::create_directories(dir, ec) && ec)
        return Fail(result, "cannot create the folder '" + folder + "': " + ec.message());
    std::string refusal;
    for (const InspectedEntry& entry : first.entries) {
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
    WalkPackage(path, second, &sink);
    if (second.foundSha256.empty()) {
        std::string note = sink.Abandon();
        const size_t written = CountWritten(result);
        if (written > 0)
            note += (note.empty() ? "" : "; ") + std::to_string(written) +
                    " file(s) written before the failure stay in '" + folder + "'";
        result.leftBehind = note;
        return Fail(result, second.problem);
    }
    if (second.foundSha256 != first.foundSha256)
        return Fail(result, "the package changed while it was extracted (its SHA-256 is now " + second.foundSha256 +
                                "): the files written are not the ones checked");
    if (!result.verified) return Fail(result, "extracted without verification: " + result.unverified);
    for (const ExtractedEntry& entry : result.entries)
        if (!entry.skipped.empty()) return Fail(result, "'" + entry.name + "' was not written: " + entry.skipped);
    return true;
}

}  // namespace package
