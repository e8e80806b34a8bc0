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

void CUtility::DeleteFolderTree(const std::wstring& path) {
    // An empty path would make the search below start at the root of the
    // current drive.
    if (path.empty()) return;

    // A folder that is itself a link is removed as a link: walking it would
    // empty whatever it points to, which lies outside the tree we were given.
    // Asked with a trailing backslash, the platform may answer for the target.
    std::wstring self = path;
    while (self.size() > 1 && self.back() == L'\\' && self[self.size() - 2] != L':') self.pop_back();
    DWORD attributes = ::GetFileAttributesW(self.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveFolder(path);
        return;
    }

    std::wstring prefix = path;
    if (prefix.back() != L'\\') prefix += L'\\';

    WIN32_FIND_DATAW found;
    ScopedFindHandle search(::FindFirstFileW((prefix + L"*").c_str(), &found));
    if (search) {
        do {
            std::wstring entry = prefix + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
                // Junctions and folder links are removed themselves, never
                // entered: their contents belong to another tree.
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                    RemoveFolder(entry);
                else
                    DeleteFolderTree(entry);
            } else {
                // DeleteFileW on a file link removes the link, not its target.
                RemoveFile(entry);
            }
        } while (::FindNextFileW(search.Get(), &found));
    }
    RemoveFolder(path);
}
