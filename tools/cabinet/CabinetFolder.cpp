#include "tools/cabinet/CabinetFolder.h"

#include "tools/package/NameRules.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#ifdef UPKPACK_WITH_GCAB
#include <libgcab.h>
#endif

namespace package {

namespace fs = std::filesystem;

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::path(path), ec);
}

#ifdef UPKPACK_WITH_GCAB

namespace {

// Every file's time in the cabinet: expand.exe gives the installed files this
// time, whatever the release folder's own times were.
constexpr int kFixedYear = 2000;

template <typename T>
struct GObjectOwner {
    T* object = nullptr;
    ~GObjectOwner() {
        if (object) g_object_unref(object);
    }
};

std::string Message(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

// The names and sizes of the folder's files, refused as a whole when
// expand.exe could not give back each file under its own name.
bool CheckFolderFiles(const std::string& folder, const std::vector<std::string>& names,
                      const std::vector<uint64_t>& sizes, std::string& error) {
    std::vector<std::string> shown;
    for (const std::string& name : names) shown.push_back((fs::path(folder) / name).string());
    const std::vector<NameVerdict> verdicts = CheckCabinetNames(names, '/', &shown);
    if (!verdicts.empty()) {
        error = "'" + verdicts[0].name + "': " + verdicts[0].reason;
        if (verdicts.size() > 1) error += " (and " + std::to_string(verdicts.size() - 1) + " more such names)";
        return false;
    }
    uint64_t total = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string problem = CabinetSizeProblem(sizes[i]);
        if (!problem.empty()) {
            error = "'" + shown[i] + "': " + problem;
            return false;
        }
        total += sizes[i];
    }
    const std::string problem = CabinetSizeProblem(total);
    if (!problem.empty()) error = "the files of '" + folder + "' come to " + problem;
    return problem.empty();
}

}  // namespace

bool WriteFolderCabinet(const std::string& folder, const std::string& cabinetPath, std::vector<CabinetFile>& files,
                        std::string& error) {
    files.clear();
    const fs::path root(folder);
    std::vector<std::string> names;  // relative, '/' between folders
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        if (fs::is_directory(status)) continue;
        const std::string relative = it->path().lexically_relative(root).generic_string();
        if (!fs::is_regular_file(status)) {
            error = "'" + it->path().string() + "' is " +
                    (fs::is_symlink(status) ? "a symbolic link" : "not a regular file") +
                    ": a release folder holds plain files only";
            return false;
        }
        names.push_back(relative);
    }
    if (ec) {
        error = "cannot read the folder '" + folder + "': " + ec.message();
        return false;
    }
    if (names.empty()) {
        error = "the folder '" + folder + "' holds no files";
        return false;
    }
    std::sort(names.begin(), names.end());
    std::vector<uint64_t> sizes;
    for (const std::string& name : names) {
        sizes.push_back(fs::file_size(root / name, ec));
        if (ec) {
            error = "cannot read the size of '" + (root / name).string() + "': " + ec.message();
            return false;
        }
    }
    if (!CheckFolderFiles(folder, names, sizes, error)) return false;

    GObjectOwner<GCabCabinet> cabinet{gcab_cabinet_new()};
    GObjectOwner<GCabFolder> cabFolder{gcab_folder_new(GCAB_COMPRESSION_MSZIP)};
    GDateTime* fixedTime = g_date_time_new_utc(kFixedYear, 1, 1, 0, 0, 0);
    bool added = true;
    for (const std::string& name : names) {
        GObjectOwner<GFile> source{g_file_new_for_path((root / name).c_str())};
        std::string cabName = name;
        std::replace(cabName.begin(), cabName.end(), '/', '\\');
        GObjectOwner<GCabFile> file{gcab_file_new_with_file(cabName.c_str(), source.object)};
        GError* gerror = nullptr;
        if (!gcab_folder_add_file(cabFolder.object, file.object, FALSE, nullptr, &gerror)) {
            error = "cannot add '" + name + "' to the cabinet: " + Message(gerror);
            added = false;
            break;
        }
        // Set once added: adding reads the file's own time and attributes.
        gcab_file_set_date_time(file.object, fixedTime);
        gcab_file_set_attributes(file.object, GCAB_FILE_ATTRIBUTE_ARCH);
    }
    g_date_time_unref(fixedTime);
    if (!added) return false;
    GError* gerror = nullptr;
    if (!gcab_cabinet_add_folder(cabinet.object, cabFolder.object, &gerror)) {
        error = "cannot make the cabinet: " + Message(gerror);
        return false;
    }
    GObjectOwner<GFile> target{g_file_new_for_path(cabinetPath.c_str())};
    GObjectOwner<GFileOutputStream> out{
        g_file_replace(target.object, nullptr, FALSE, G_FILE_CREATE_NONE, nullptr, &gerror)};
    if (!out.object) {
        error = "cannot create '" + cabinetPath + "': " + Message(gerror);
        return false;
    }
    if (!gcab_cabinet_write_simple(cabinet.object, G_OUTPUT_STREAM(out.object), nullptr, nullptr, nullptr, &gerror) ||
        !g_output_stream_close(G_OUTPUT_STREAM(out.object), nullptr, &gerror)) {
        error = "cannot write the cabinet of '" + folder + "': " + Message(gerror);
        return false;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::string cabName = names[i];
        std::replace(cabName.begin(), cabName.end(), '/', '\\');
        files.push_back({cabName, sizes[i]});
    }
    return true;
}

bool CabinetFolder::Make(const std::string& folder, std::string& error) {
    std::string pattern = (fs::temp_directory_path() / "upkpack-cab-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        error = std::string("cannot make a temporary folder for the cabinet: ") + std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    path_ = (fs::path(dir_) / kFolderCabinetName).string();
    return WriteFolderCabinet(folder, path_, files_, error);
}

#else

bool WriteFolderCabinet(const std::string&, const std::string&, std::vector<CabinetFile>& files, std::string& error) {
    files.clear();
    error = "packing a folder is not available in the Windows build of upkpack: make package1.cab of it first "
            "(makecab, or gcab on Linux) and pack that";
    return false;
}

bool CabinetFolder::Make(const std::string& folder, std::string& error) {
    return WriteFolderCabinet(folder, path_, files_, error);
}

#endif

CabinetFolder::~CabinetFolder() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(fs::path(dir_), ec);
}

}  // namespace package
