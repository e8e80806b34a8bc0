#include "app/Cleanup.h"
#include "app/UnPackFileApp.h"

#include "utility/Execute.h"
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

bool StartsWithDriveRoot(const std::wstring& path) {
    return path.size() >= 3 && ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' &&
           path[2] == L'\\';
}

std::wstring PlainPathForm(const std::wstring& path) {
    // "\\?\UNC\server\share\..." is "\\server\share\...", "\\?\C:\..." is
    // "C:\...". Any other kind ("\\?\Volume{...}\") has no plain form.
    if (path.compare(0, 4, L"\\\\?\\") != 0) return path;
    std::wstring rest = path.substr(4);
    if (rest.size() >= 4 && ::CompareStringOrdinal(rest.c_str(), 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL)
        return L"\\\\" + rest.substr(4);
    if (StartsWithDriveRoot(rest)) return rest;
    return std::wstring();
}

size_t PathRootLength(const std::wstring& path) {
    if (StartsWithDriveRoot(path)) return 3;
    if (path.compare(0, 2, L"\\\\") != 0 || path.size() == 2) return 0;
    // "\\server\share": the share's name ends at the next backslash or at the end.
    size_t serverEnd = path.find(L'\\', 2);
    if (serverEnd == std::wstring::npos) return path.size();
    size_t shareEnd = path.find(L'\\', serverEnd + 1);
    return shareEnd == std::wstring::npos ? path.size() : shareEnd;
}

}  // namespace

std::wstring FindDownloadFolder(const std::wstring& modulePath) {
    std::wstring exeFolder = PlainPathForm(modulePath);
    CUtility::TrimPath(exeFolder, 1);
    if (!EndsWithNoCase(exeFolder, L"data")) return std::wstring();

    std::wstring downloadFolder = exeFolder;
    CUtility::TrimPath(downloadFolder, 1);
    std::wstring parent = downloadFolder;
    CUtility::TrimPath(parent, 1);
    if (!EndsWithNoCase(parent, L"mox")) return std::wstring();
    // The folder above must be a real folder below a root: for
    // "\\srvmox\share\data\UnPackFile.exe" the "download folder" would be a whole
    // share, and a relative path would be read against the removal's working
    // folder, the system folder.
    size_t root = PathRootLength(parent);
    if (root == 0 || parent.size() <= root) return std::wstring();
    return downloadFolder;
}

std::wstring BuildRemovalParameters(const std::wstring& systemFolder) {
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
    // timeout is named by its full path in the system folder, so that neither
    // the working folder nor PATH decides which program runs. The same path
    // names the native timeout.exe for the native interpreter that a 32-bit
    // process starts through "sysnative": that interpreter is not redirected.
    // /s: the interpreter then always drops the first and the last quote of
    // what follows /c, the outer pair here, and keeps the two quoted paths.
    return Format(L"/d /v:off /s /c \"\"%s\\timeout.exe\" /t 5 & rmdir /s /q \"%%%s%%\"\"", systemFolder.c_str(),
                  kDownloadFolderVariable);
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
    std::wstring systemFolder = GetSystemFolder();
    if (systemFolder.empty() || !::SetCurrentDirectoryW(systemFolder.c_str())) {
        CUtility::Log(L"[%s] The system folder cannot be made current: the download folder stays",
                      L"CUnPackFileApp::RemoveDownloadFolder");
        return;
    }
    CUtility::Execute(systemFolder, BuildRemovalParameters(systemFolder), false);
}
