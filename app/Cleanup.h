#pragma once

#include <string>

// The folder to remove after the run, given the running executable's path: the
// download folder when the executable lies in "...mox\<download>\...data\", else
// empty (the names' endings compared without regard to case).
std::wstring FindDownloadFolder(const std::wstring& modulePath);

// The environment variable through which the removal command receives the
// download folder, and the command's parameters.
extern const wchar_t kDownloadFolderVariable[];
std::wstring BuildRemovalParameters();
