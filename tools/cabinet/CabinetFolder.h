// The cabinet of a release folder: what `upkpack pack FOLDER` packs.
#pragma once

#include <cstddef>
#include <string>

namespace package {

// The name the unpacker expands: the folder's cabinet is packed under it.
constexpr char kFolderCabinetName[] = "package1.cab";

bool IsFolder(const std::string& path);

// Writes a cabinet (MSZIP) of every file below folder, named by its path
// relative to the folder ('\' between folders), in sorted order and with one
// fixed time and attribute each, so that the same folder always gives the same
// bytes. Symbolic links and other special files are refused rather than
// followed. False with a one-line message in error.
bool WriteFolderCabinet(const std::string& folder, const std::string& cabinetPath, size_t& fileCount,
                        std::string& error);

// The folder's cabinet, made in a temporary folder of its own that is removed
// with this object.
class CabinetFolder {
public:
    CabinetFolder() = default;
    ~CabinetFolder();
    CabinetFolder(const CabinetFolder&) = delete;
    CabinetFolder& operator=(const CabinetFolder&) = delete;

    bool Make(const std::string& folder, std::string& error);
    const std::string& Path() const { return path_; }
    size_t FileCount() const { return fileCount_; }

private:
    std::string dir_, path_;
    size_t fileCount_ = 0;
};

}  // namespace package
