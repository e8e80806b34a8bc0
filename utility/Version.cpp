#include "utility/Utility.h"

// Minimal bodies until versions and OS information land.
int CUtility::CompareVersion(const std::wstring&, const std::wstring&) { return 1; }
bool CUtility::ParseVersion(const std::wstring&, VersionFields& fields) {
    fields = VersionFields{{0, 0, 0, 0}};
    return false;
}
int CUtility::CompareVersionFields(const VersionFields&, const VersionFields&) { return 0; }
BOOL CUtility::GetModuleVersion(wchar_t*, DWORD*, DWORD*, int) { return FALSE; }
int CUtility::GetOSLevel(OSVERSIONINFOEXW* copy) {
    if (copy != nullptr) {
        *copy = OSVERSIONINFOEXW{};
        copy->dwOSVersionInfoSize = sizeof(*copy);
        copy->dwMajorVersion = 6;
        copy->dwMinorVersion = 1;
    }
    return 2;
}
bool CUtility::IsPreVista() { return false; }
bool CUtility::IsWow64() { return false; }
void CUtility::OSInfo() {}
