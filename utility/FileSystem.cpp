#include "utility/Utility.h"

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

// Minimal bodies until the folder-tree removal lands.
bool CUtility::IsMountPoint(const std::wstring&) { return false; }
bool CUtility::RemoveFolder(const std::wstring& path) { return !FileExists(path) || ::RemoveDirectoryW(path.c_str()); }
bool CUtility::RemoveFile(const std::wstring& path) { return !FileExists(path) || ::DeleteFileW(path.c_str()); }
void CUtility::DeleteFolderTree(const std::wstring& path) { RemoveFolder(path); }
