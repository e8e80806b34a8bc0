#include "app/LibraryHardening.h"

#include "utility/Format.h"

#include <windows.h>

namespace {

// The libraries the program binds on first call (winspool.drv, wtsapi32 for
// WTSQueryUserToken, version for GetFileVersionInfoW, bcrypt for the package's
// SHA-256), then libraries that system components load on our behalf and that
// DLL planting has targeted.
// Loading them early from the system folder means every later load by name
// finds the copy that is already in memory.
const wchar_t* const kPreloads[] = {
    L"wtsapi32", L"version", L"bcrypt",   L"wldp",   L"propsys", L"profapi",  L"vaultcli", L"edputil",     L"iertutil",
    L"netutils", L"srvcli",  L"urlmon",   L"sspicli", L"logoncli", L"wkscli", L"samcli",  L"netapi32", L"cfgmgr32",
    L"TextShaping",
};

bool IsUsableSystemFolder(const std::wstring& folder) {
    // "C:\Windows\system32" and "\\?\..." are absolute; "" or "system32" are not,
    // and a bare drive ("C:" or "C:\") would put the libraries at the drive root.
    if (folder.size() < 4) return false;
    bool driveAbsolute = folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/');
    bool unc = folder[0] == L'\\' && folder[1] == L'\\';
    return driveAbsolute || unc;
}

}  // namespace

std::wstring SystemLibraryPath(const std::wstring& systemFolder, const wchar_t* entry, bool appendDll) {
    if (!IsUsableSystemFolder(systemFolder)) return std::wstring();
    return appendDll ? Format(L"%s\\%s.dll", systemFolder.c_str(), entry)
                     : Format(L"%s\\%s", systemFolder.c_str(), entry);
}

void HardenLibrarySearch() {
    ::SetDllDirectoryW(L"");

    wchar_t buffer[MAX_PATH + 1] = {};
    UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    std::wstring systemFolder = (length > 0 && length < MAX_PATH) ? std::wstring(buffer, length) : std::wstring();

    // When the system folder cannot be read nothing is loaded at all: a load by
    // a relative name is exactly the search this hardening exists to prevent.
    std::wstring printer = SystemLibraryPath(systemFolder, L"winspool.drv", false);
    if (printer.empty()) return;

    ::SetDllDirectoryW(L"");
    ::LoadLibraryW(printer.c_str());
    for (const wchar_t* entry : kPreloads) {
        ::SetDllDirectoryW(L"");
        ::LoadLibraryW(SystemLibraryPath(systemFolder, entry, true).c_str());
    }
}
