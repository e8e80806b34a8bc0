// The unpack folder: below the 32-bit programs folder, emptied and created
// afresh once per run after the previous upgrade's two host logs were saved.
#include "unpack/UnPack.h"

#include "utility/Format.h"
#include "utility/Utility.h"

#include <shlobj.h>

namespace {

const wchar_t kCaller[] = L"CUnPack::GetUnPackPath";

// The host writes these into the folder during an upgrade; they are the only
// record of the previous run, so they are kept one level up before emptying it.
void SaveHostLog(const std::wstring& folder, const wchar_t* name) {
    std::wstring source = Format(L"%s\\%s", folder.c_str(), name);
    std::wstring target = Format(L"%s\\..\\%s", folder.c_str(), name);
    if (CUtility::FileExists(source)) ::CopyFileW(source.c_str(), target.c_str(), FALSE);
}

}  // namespace

std::wstring CUnPack::GetUnPackPath() {
    if (!unpackFolder.empty()) return unpackFolder;

    wchar_t buffer[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, buffer);
    unpackFolder = buffer;

    HRESULT found = ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, buffer);
    if (FAILED(found)) found = ::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, buffer);
    if (FAILED(found)) {
        CUtility::Log(L"[%s] upgrade query path PROGRAM fail", kCaller);
        unpackFolder += L"unpackautoupdate\\";
    } else {
        unpackFolder = buffer;
        unpackFolder += L"\\Kestrune\\Kestrune Remote\\AutoUpdate\\";
        SaveHostLog(unpackFolder, L"aulog.txt");
        SaveHostLog(unpackFolder, L"aucab.txt");
    }

    if (CUtility::FileExists(unpackFolder)) RemoveUnPackPath();

    // A folder just removed can linger while another program (a virus scanner,
    // an Explorer window) still holds it; creation then fails for a moment.
    int result = ::SHCreateDirectoryExW(nullptr, unpackFolder.c_str(), nullptr);
    for (int retry = 0; result != ERROR_SUCCESS && retry < 20; ++retry) {
        result = ::SHCreateDirectoryExW(nullptr, unpackFolder.c_str(), nullptr);
        ::Sleep(100);
    }
    return unpackFolder;
}

void CUnPack::RemoveUnPackPath() {
    if (unpackFolder.empty()) return;
    CUtility::DeleteFolderTree(unpackFolder);

    std::wstring parent = unpackFolder;
    while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
    CUtility::TrimPath(parent, 1);
    // Step out of the folder so that the process's own current directory does
    // not keep it from being removed.
    ::SetCurrentDirectoryW(parent.c_str());
    ::RemoveDirectoryW(unpackFolder.c_str());
}
