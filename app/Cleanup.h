#pragma once

#include <string>

// The folder to remove after the run, given the running executable's path: the
// download folder when the executable lies in "...mox\<download>\...data\", else
// empty (the names' endings compared without regard to case). The folder above
// the download folder must lie below a drive or share root; "\\?\" forms are
// read, and returned, as their plain forms ("\\?\UNC\srv\share" as
// "\\srv\share"), so that what is checked is what is removed.
std::wstring FindDownloadFolder(const std::wstring& modulePath);

// The environment variable through which the removal command receives the
// download folder, and the command's parameters, timeout named in systemFolder.
extern const wchar_t kDownloadFolderVariable[];
std::wstring BuildRemovalParameters(const std::wstring& systemFolder);
