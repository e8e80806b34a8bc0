#include "app/Cleanup.h"
#include "app/UnPackFileApp.h"

#include "utility/Format.h"
#include "utility/Utility.h"

#include <windows.h>

const wchar_t kDownloadFolderVariable[] = L"UNPACKFILE_DOWNLOAD_FOLDER";

namespace {

bool EndsWithNoCase(const std::wstring& text, const wchar_t* ending) {
    // A text shorter than the ending is compared whole, and so cannot match.
    size_t length = wcslen(ending);
    const wchar_t* tail = text.size() >= length ? text.c_str() + (text.size() - length) : text.c_str();
    return ::CompareStringOrdinal(tail, -1, ending, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring FindDownloadFolder(const std::wstring& modulePath) {
    std::wstring exeFolder = modulePath;
    CUtility::TrimPath(exeFolder, 1);
    if (!EndsWithNoCase(exeFolder, L"data")) return std::wstring();

    std::wstring downloadFolder = exeFolder;
    CUtility::TrimPath(downloadFolder, 1);
    std::wstring parent = downloadFolder;
    CUtility::TrimPath(parent, 1);
    if (!EndsWithNoCase(parent, L"mox")) return std::wstring();
    return downloadFolder;
}

std::wstring BuildRemovalParameters() {
    // The folder reaches rmdir through a variable inside quotes: the quotes keep
    // blanks, '&', '^' and parentheses inside one argument, and the interpreter
    // expands the variable once, without looking for '%' again in the value it
    // put in, so a folder name cannot widen what is removed. That holds only
    // without a pipe: each side of a pipe runs in a child interpreter that
    // parses its command line again, and would expand a name such as "%OS%"
    // inside the folder's path into another path. So /q answers rmdir's
    // question instead of a piped "y".
    // Two registry values of the interpreter would still change the command on
    // some machines, so the switches ahead of /c turn them off: /v:off, since
    // with DelayedExpansion set the interpreter expands "!NAME!" (and drops a
    // lone '!') in the folder's path after putting it in, and "a!x!b" would
    // reach rmdir as the sibling "ab"; /d, since an AutoRun command would run
    // ahead of ours with our rights.
    return Format(L"/d /v:off /c timeout /t 5 & rmdir /s /q \"%%%s%%\"", kDownloadFolderVariable);
}

void CUnPackFileApp::RemoveDownloadFolder() {
    std::wstring folder = FindDownloadFolder(CUtility::GetModulePath());
    if (folder.empty()) return;

    // The interpreter inherits our environment; it waits until we have ended,
    // since a running executable cannot be deleted.
    if (!::SetEnvironmentVariableW(kDownloadFolderVariable, folder.c_str())) return;
    // It would also inherit our current folder, and it looks for "timeout" in
    // its current folder before the system's: a timeout.bat planted there
    // would run with our rights. So it starts in the system folder, which only
    // administrators write to. That folder also lies outside what is removed: Windows does
    // not remove a folder that is a process's current folder, and the data
    // folder, our current folder when the updater started us from there,
    // would be emptied and left standing. Without the system folder as the
    // current folder nothing is started.
    wchar_t systemFolder[MAX_PATH + 1] = {};
    UINT length = ::GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !::SetCurrentDirectoryW(systemFolder)) return;
    CUtility::Execute(systemFolder, BuildRemovalParameters(), false);
}
