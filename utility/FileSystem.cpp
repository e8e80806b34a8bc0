#include "utility/FileSystem.h"

#include "framework/Handle.h"
#include "utility/Utility.h"

#include <winioctl.h>

#include <vector>

namespace filesystem {

bool IsGuardedPathText(const std::wstring& path) { return path.find(L"ProgramData") != std::wstring::npos; }

bool IsMountPointReparseData(const uint8_t* data, size_t size) {
    if (data == nullptr || size < sizeof(uint32_t)) return false;
    uint32_t tag = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                   static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    return tag == kMountPointTag;
}

}  // namespace filesystem

bool CUtility::FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void CUtility::TrimPath(std::wstring& path, int n) {
    for (int i = 0; i < n; ++i) {
        size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos) return;
        path.erase(slash);
    }
}

std::wstring CUtility::GetModulePath() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A path cut off at the buffer's end would name another file.
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(path, length);
}

bool CUtility::IsMountPoint(const std::wstring& path) {
    if (!filesystem::IsGuardedPathText(path)) return false;

    // The path itself, not what it points to: a junction opened normally would
    // be followed to its target, which carries no reparse point.
    ScopedHandle handle(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return false;

    std::vector<uint8_t> data(4096);
    DWORD returned = 0;
    if (!::DeviceIoControl(handle.Get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                           static_cast<DWORD>(data.size()), &returned, nullptr))
        return false;
    return filesystem::IsMountPointReparseData(data.data(), returned);
}

bool CUtility::RemoveFolder(const std::wstring& path) {
    if (!FileExists(path)) return true;
    if (IsMountPoint(path)) return false;
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

bool CUtility::RemoveFile(const std::wstring& path) {
    if (!FileExists(path)) return true;
    if (IsMountPoint(path)) return false;
    // Attributes are left alone: a read-only file is meant to stay.
    return ::DeleteFileW(path.c_str()) != FALSE;
}

namespace filesystem {

namespace {

// A search of one folder that ends when it goes out of scope, or earlier by End.
class FolderSearch {
public:
    FolderSearch(const TreeCalls& calls, const std::wstring& pattern, WIN32_FIND_DATAW* found)
        : calls_(calls), handle_(calls.findFirst(pattern.c_str(), found)) {}
    ~FolderSearch() { End(); }
    FolderSearch(const FolderSearch&) = delete;
    FolderSearch& operator=(const FolderSearch&) = delete;

    bool IsOpen() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    bool Next(WIN32_FIND_DATAW* found) { return IsOpen() && calls_.findNext(handle_, found) != FALSE; }
    void End() {
        if (IsOpen()) calls_.findClose(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    const TreeCalls& calls_;
    HANDLE handle_;
};

}  // namespace

void DeleteFolderTree(const std::wstring& path, const TreeCalls& calls) {
    // An empty path would make the search below start at the root of the
    // current drive.
    if (path.empty()) return;

    // A folder that is itself a link is removed as a link: walking it would
    // empty whatever it points to, which lies outside the tree we were given.
    // Asked with a trailing backslash, the platform may answer for the target.
    std::wstring self = path;
    while (self.size() > 1 && self.back() == L'\\' && self[self.size() - 2] != L':') self.pop_back();
    DWORD attributes = calls.getAttributes(self.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        calls.removeFolder(path);
        return;
    }

    std::wstring prefix = path;
    if (prefix.back() != L'\\') prefix += L'\\';

    WIN32_FIND_DATAW found;
    FolderSearch search(calls, prefix + L"*", &found);
    if (search.IsOpen()) {
        do {
            std::wstring entry = prefix + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
                // Junctions and folder links are removed themselves, never
                // entered: their contents belong to another tree.
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                    calls.removeFolder(entry);
                else
                    DeleteFolderTree(entry, calls);
            } else {
                // DeleteFileW on a file link removes the link, not its target.
                calls.removeFile(entry);
            }
        } while (search.Next(&found));
    }
    // The open search is a handle on the folder: Windows accepts the removal
    // then but only marks the folder for deletion, so it would still stand
    // while we report it removed.
    search.End();
    calls.removeFolder(path);
}

}  // namespace filesystem

void CUtility::DeleteFolderTree(const std::wstring& path) {
    static const filesystem::TreeCalls kPlatform = {::GetFileAttributesW, ::FindFirstFileW, ::FindNextFileW,
                                                    ::FindClose,          RemoveFolder,     RemoveFile};
    filesystem::DeleteFolderTree(path, kPlatform);
}
