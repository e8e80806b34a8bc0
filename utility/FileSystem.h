// The pure decisions behind the mount-point guard of the folder-tree removal,
// kept apart from the platform calls so that they can be checked on reparse
// data built in memory (junctions cannot be made everywhere we test).
#pragma once

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

}  // namespace filesystem
