#include "app/UnPackFileApp.h"

#include "registry/Registry.h"
#include "utility/Format.h"
#include "utility/Utility.h"

namespace {

const wchar_t kCaller[] = L"CUnPackFileApp::HackForNDUSilentInstallFail";

std::wstring ProductKey(const wchar_t* platform) {
    std::wstring platformKey = Format(L"Software\\Kestrune Inc.\\Kestrune Software Updater\\Platforms\\%s", platform);
    return Format(L"%s\\Products\\SVR", platformKey.c_str());
}

}  // namespace

void CUnPackFileApp::HackForNDUSilentInstallFail() {
    // The software updater reads an empty InstallType as "nothing pending", so a
    // refused upgrade is not retried as a silent installation.
    const wchar_t* platform = L"PLVA00";
    std::wstring productKey = ProductKey(platform);

    CRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!registry.KeyExists(productKey)) {
        platform = L"PROTOOVRA00";
        productKey = ProductKey(platform);
    }
    CUtility::Log(L"[%s] upgrade skip, hack platform %s", kCaller, platform);

    registry.SetLazyFlush(false);
    // Only into the product key itself: when it does not open the current key is
    // the root of HKEY_LOCAL_MACHINE, which must not receive the value.
    if (registry.OpenKey(productKey)) registry.WriteString(L"InstallType", L"", REG_SZ);

    RemoveDownloadFolder();
    ::Sleep(100);
    CUtility::Log(L"[%s] autoinstaller prepare to exit", kCaller);
}
