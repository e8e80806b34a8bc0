#include "app/Criteria.h"
#include "app/UnPackFileApp.h"

#include "registry/Registry.h"
#include "resources/resource.h"
#include "utility/Format.h"
#include "utility/Utility.h"

#include <cstdint>
#include <cstdlib>

namespace {

const wchar_t kCaller[] = L"CUnPackFileApp::InitInstance";

std::wstring ReadBound(const std::wstring& iniPath, const wchar_t* key, const wchar_t* defaultValue) {
    if (iniPath.empty()) return defaultValue;
    wchar_t value[256] = {};
    ::GetPrivateProfileStringW(L"VERSIONCHECK", key, defaultValue, value, 256, iniPath.c_str());
    return value;
}

}  // namespace

int CompareOSWithBound(DWORD major, DWORD minor, const std::wstring& bound) {
    if (major == 0) return _wcsicmp(L"5.1", bound.c_str());

    uint32_t packed = 0;
    int fields = 0;
    size_t position = 0;
    while (fields < 4 && position <= bound.size()) {
        size_t dot = bound.find(L'.', position);
        std::wstring field = bound.substr(position, dot == std::wstring::npos ? std::wstring::npos : dot - position);
        position = dot == std::wstring::npos ? bound.size() + 1 : dot + 1;
        if (field.empty()) continue;
        ++fields;
        int value = _wtoi(field.c_str());
        if (value > 255) {
            packed = 0xFFFFFFFFu;
            break;
        }
        packed = (packed << 8) | static_cast<uint32_t>(value);
    }
    uint32_t system = major * 256u + minor;
    return static_cast<int32_t>(system - packed);
}

std::wstring FindSetupIni(const std::wstring& modulePath) {
    // Without the executable's folder, "\setup.ini" would be read from the
    // root of the current drive, where a stray file could lift every bound.
    if (modulePath.find(L'\\') == std::wstring::npos) return std::wstring();
    std::wstring folder = modulePath;
    CUtility::TrimPath(folder, 1);
    if (folder.empty()) return std::wstring();
    return Format(L"%s\\setup.ini", folder.c_str());
}

UpgradeBounds ReadUpgradeBounds(const std::wstring& iniPath) {
    UpgradeBounds bounds;
    bounds.autoVersion = ReadBound(iniPath, L"ALOWERBOUND", L"3.1.0.0");
    bounds.manualVersion = ReadBound(iniPath, L"MLOWERBOUND", L"2.4.0.0");
    bounds.autoOS = ReadBound(iniPath, L"AOSLOWERBOUND", L"5.0");
    bounds.manualOS = ReadBound(iniPath, L"MOSLOWERBOUND", L"5.0");
    return bounds;
}

int CUnPackFileApp::CheckOSBoundary(std::wstring bound) {
    OSVERSIONINFOEXW version = {};
    CUtility::GetOSLevel(&version);
    return CompareOSWithBound(version.dwMajorVersion, version.dwMinorVersion, bound);
}

bool CUnPackFileApp::CheckUpgradeCriteria(bool manual, CRegistry& hostSettings, Refusal& refusal) {
    wchar_t ownVersion[MAX_PATH] = {};
    DWORD mostSignificant = 0;
    DWORD leastSignificant = 0;
    CUtility::GetModuleVersion(ownVersion, &mostSignificant, &leastSignificant, 1);

    hostSettings.SetRootKey(HKEY_LOCAL_MACHINE);
    hostSettings.OpenKey(kUniversalPathToken);
    // When the host settings key did not open, the current key is the root of
    // HKEY_LOCAL_MACHINE: its values are none of the host's business.
    std::wstring installed = hostSettings.IsAtRoot() ? std::wstring() : hostSettings.ReadString(L"Version", L"");

    if (CUtility::CompareVersion(ownVersion, installed) < 1) {
        CUtility::Log(L"[%s] upgrade skip %s less than %s", kCaller, ownVersion, installed.c_str());
        if (!hostSettings.IsAtRoot()) hostSettings.DeleteValue(L"CloudAutoUpdateStatus");
        refusal = {IDS_NO_UPDATES, IDS_AUTO_INSTALLER};
        return false;
    }

    UpgradeBounds bounds = ReadUpgradeBounds(FindSetupIni(CUtility::GetModulePath()));
    const std::wstring& versionBound = manual ? bounds.manualVersion : bounds.autoVersion;
    const std::wstring& osBound = manual ? bounds.manualOS : bounds.autoOS;

    if (CheckOSBoundary(osBound) <= 0) {
        CUtility::Log(L"[%s] upgrade skip OS less than the boundary %s", kCaller, osBound.c_str());
        refusal = {IDS_FRESH_INSTALL_REQUIRED, IDS_UPDATE_FAILED_CAPTION};
        return false;
    }

    if (CUtility::CompareVersion(installed, versionBound) < 0) {
        CUtility::Log(L"[%s] upgrade skip %s less than boundary %s", kCaller, installed.c_str(), versionBound.c_str());
        refusal = {IDS_FRESH_INSTALL_REQUIRED, IDS_UPDATE_FAILED_CAPTION};
        return false;
    }

    CUtility::Log(L"[%s] upgrade criteria passed %s >= %s", kCaller, installed.c_str(), versionBound.c_str());
    return true;
}
