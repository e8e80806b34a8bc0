// The unpack folder: below the 32-bit programs folder, emptied and created
// afresh once per run after the previous upgrade's two host logs were saved.
#include "unpack/UnPack.h"

#include "framework/Handle.h"
#include "utility/Format.h"
#include "utility/Utility.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

namespace {

const wchar_t kCaller[] = L"CUnPack::GetUnPackPath";

// The unpack folder in the temporary folder admits only the system account
// and administrators: owned by the administrators, with a protected access
// list granting both full control of the folder and of all below it, and
// nothing inherited from the temporary folder, where any user may create
// files and folders. Otherwise whoever made the folder, or may write into
// it, could swap VYAuto.exe before the installation commands run it.
const wchar_t kAdminOnly[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// A folder just removed can linger while another program (a virus scanner,
// an Explorer window) still holds it; creation then fails for a moment.
template <typename Make>
bool MakeWithRetries(Make make) {
    bool made = make();
    for (int retry = 0; !made && retry < 20; ++retry) {
        made = make();
        ::Sleep(100);
    }
    return made;
}

// The folder itself, not what a link there points to, is a plain folder
// owned by the administrators or the system account.
bool IsMadeAsAdminOnly(const std::wstring& folder) {
    ScopedHandle handle(::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle || !::GetFileInformationByHandle(handle.Get(), &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool admitted = owner != nullptr && (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                         ::IsWellKnownSid(owner, WinLocalSystemSid));
    ::LocalFree(descriptor);
    return admitted;
}

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
        MakeTempUnPackPath(unpackFolder);
        return unpackFolder;
    }
    unpackFolder = buffer;
    unpackFolder += L"\\Kestrune\\Kestrune Remote\\AutoUpdate\\";
    SaveHostLog(unpackFolder, L"aulog.txt");
    SaveHostLog(unpackFolder, L"aucab.txt");

    if (CUtility::FileExists(unpackFolder)) RemoveUnPackPath();
    // The final result is not needed: a folder that is missing refuses the upgrade later.
    MakeWithRetries([&] { return ::SHCreateDirectoryExW(nullptr, unpackFolder.c_str(), nullptr) == ERROR_SUCCESS; });
    return unpackFolder;
}

bool CUnPack::MakeTempUnPackPath(const std::wstring& tempFolder) {
    unpackFolder = tempFolder + L"unpackautoupdate\\";
    unpackFolderRefused = true;
    // Never reused: whatever stands there may be another user's. The removal
    // takes a link away as a link and does not walk into it.
    if (CUtility::FileExists(unpackFolder)) RemoveUnPackPath();
    if (CUtility::FileExists(unpackFolder)) {
        CUtility::Log(L"[%s] Cannot remove what stands at the unpack folder: %s", kCaller, unpackFolder.c_str());
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnly, SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, nullptr)) {
        CUtility::Log(L"[%s] Cannot describe the unpack folder's access: error %d", kCaller,
                      static_cast<int>(::GetLastError()));
        return false;
    }
    // Not with the folders above it: the temporary folder is there, and a
    // folder of that name made by someone else meanwhile fails this.
    DWORD error = ERROR_SUCCESS;
    bool made = MakeWithRetries([&] {
        if (::CreateDirectoryW(unpackFolder.c_str(), &attributes)) return true;
        error = ::GetLastError();
        return false;
    });
    ::LocalFree(attributes.lpSecurityDescriptor);
    if (!made) {
        CUtility::Log(L"[%s] Cannot make the unpack folder %s: error %d", kCaller, unpackFolder.c_str(),
                      static_cast<int>(error));
        return false;
    }
    if (!IsMadeAsAdminOnly(unpackFolder)) {
        CUtility::Log(L"[%s] The unpack folder is not as made (a link, or another owner): %s", kCaller,
                      unpackFolder.c_str());
        return false;
    }
    unpackFolderRefused = false;
    return true;
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
