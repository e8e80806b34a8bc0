// The cabinet of a release folder: what `upkpack pack FOLDER` packs.
#pragma once

#include "tools/cabinet/CabinetCheck.h"

#include <cstddef>
#include <string>
#include <vector>

namespace package {

// The name the unpacker expands: the folder's cabinet is packed under it.
constexpr char kFolderCabinetName[] = "package1.cab";

bool IsFolder(const std::string& path);

// Writes a cabinet (MSZIP) of every file below folder, named by its path
// relative to the folder ('\' between folders), in sorted order and with one
// fixed time and attribute each, so that the same folder always gives the same
// bytes. Symbolic links and other special files are refused rather than
// followed, and so is every name that Windows or expand.exe cannot hold
// (tools/package/NameRules.h) and a file or total past what a cabinet holds,
// before anything is written. False with a one-line message in error; files
// receives each file as the cabinet names it, with its size.
bool WriteFolderCabinet(const std::string& folder, const std::string& cabinetPath, std::vector<CabinetFile>& files,
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
    // The folder's files as the cabinet must list them.
    const std::vector<CabinetFile>& Files() const { return files_; }

private:
    std::string dir_, path_;
    std::vector<CabinetFile> files_;
};

}  // namespace package
