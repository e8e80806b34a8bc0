// The pure decisions behind the mount-point guard of the folder-tree removal,
// kept apart from the platform calls so that they can be checked on reparse
// data built in memory (junctions cannot be made everywhere we test).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace filesystem {

// IO_REPARSE_TAG_MOUNT_POINT: a junction or a mounted volume folder.
constexpr uint32_t kMountPointTag = 0xA0000003u;

// Only paths that name the shared application-data folder are guarded; the
// word is matched with its exact capitalisation.
bool IsGuardedPathText(const std::wstring& path);

// True when reparse data (as FSCTL_GET_REPARSE_POINT returns it) carries the
// mount-point tag in its first 32-bit word; false for fewer than 4 bytes.
bool IsMountPointReparseData(const uint8_t* data, size_t size);

// The platform calls of the folder-tree removal, passed in so that a test can
// follow their order on a tree held in memory: a folder's search must have
// ended before the folder itself is removed.
struct TreeCalls {
    DWORD(WINAPI* getAttributes)(LPCWSTR path);
    HANDLE(WINAPI* findFirst)(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
    BOOL(WINAPI* findNext)(HANDLE search, LPWIN32_FIND_DATAW found);
    BOOL(WINAPI* findClose)(HANDLE search);
    bool (*removeFolder)(const std::wstring& path);
    bool (*removeFile)(const std::wstring& path);
};

// CUtility::DeleteFolderTree with the given calls.
void DeleteFolderTree(const std::wstring& path, const TreeCalls& calls);

}  // namespace filesystem
