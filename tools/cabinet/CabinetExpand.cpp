#include "tools/cabinet/CabinetExpand.h"

#include "tools/cabinet/CabinetCheck.h"
#include "tools/package/PackageExtractor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

namespace package {
namespace {

namespace fs = std::filesystem;

std::string Exists(const fs::path& path) {
    return "'" + path.string() + "' exists already: extract never replaces or follows anything in the folder";
}

// Writes each file of the cabinet below the folder, making its subfolders;
// a file it may not write is still decompressed, into nowhere, so that the
// cabinet is checked whole.
class FolderWriter : public CabinetSink {
public:
    FolderWriter(const fs::path& folder, std::set<fs::path>& made, Expansion& result)
        : folder_(folder), made_(made), result_(result) {}
    ~FolderWriter() override {
        std::string ignored;
        if (file_ != nullptr) EndFile(false, ignored);
    }

    bool BeginFile(const CabinetFile& file, std::string& reason) override {
        result_.files.push_back({file.name, file.size, false, file.refusal});
        std::string& skipped = result_.files.back().skipped;
        if (!skipped.empty()) return true;
        fs::path target = folder_;
        for (size_t begin = 0;;) {
            const size_t end = file.name.find('\\', begin);
            target /= file.name.substr(begin, end - begin);
            if (end == std::string::npos) break;
            begin = end + 1;
            // Only a folder this expansion made is entered: one that was there may be a link.
            if (made_.count(target) != 0) continue;
            std::error_code ec;
            if (fs::exists(fs::symlink_status(target, ec))) {
                skipped = Exists(target);
                return true;
            }
            if (!fs::create_directory(target, ec)) {
                reason = "cannot create the folder '" + target.string() + "': " + ec.message();
                return false;
            }
            made_.insert(target);
        }
        file_ = CreateNewFile(target);
        if (file_ == nullptr) {
            if (errno == EEXIST) {
                skipped = Exists(target);
                return true;
            }
            reason = "cannot create '" + target.string() + "': " + std::strerror(errno);
            return false;
        }
        current_ = target;
        return true;
    }

    bool FileData(const void* data, size_t size, std::string& reason) override {
        if (file_ == nullptr) return true;
        if (std::fwrite(data, 1, size, file_) != size) {
            reason = "cannot write '" + current_.string() + "' (disk full?)";
            return false;
        }
        result_.bytesWritten += size;
        return true;
    }

    bool EndFile(bool complete, std::string& reason) override {
        if (file_ == nullptr) return true;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        ExpandedFile& expanded = result_.files.back();
        if (complete && closed) {
            expanded.written = true;
            return true;
        }
        std::error_code ec;
        fs::remove(current_, ec);
        expanded.skipped = "removed the partial file: its data could not be " +
                           std::string(closed ? "decompressed whole" : "written whole");
        if (closed) return true;
        reason = "cannot finish writing '" + current_.string() + "' (disk full?)";
        return false;
    }

private:
    fs::path folder_;
    std::set<fs::path>& made_;
    Expansion& result_;
    fs::path current_;
    FILE* file_ = nullptr;
};

}  // namespace

bool ExpandCabinets(const std::vector<std::string>& cabinets, const std::string& folder,
                    std::vector<Expansion>& results) {
    std::set<fs::path> made;
    bool whole = true;
    for (const std::string& cabinet : cabinets) {
        results.push_back(Expansion{cabinet});
        Expansion& result = results.back();
        std::error_code ec;
        const uint64_t size = fs::file_size(cabinet, ec);
        if (ec) {
            result.problem = "cannot read '" + cabinet + "': " + ec.message();
        } else {
            FolderWriter writer(folder, made, result);
            const CabinetCheck read = ReadCabinet(cabinet, 0, size, &writer);
            if (!read.ok) result.problem = read.reason;
        }
        for (const ExpandedFile& file : result.files) whole = whole && file.written;
        whole = whole && result.problem.empty();
    }
    return whole;
}

}  // namespace package
