#include "utility/Format.h"
#include "utility/SystemLibrary.h"
#include "utility/Utility.h"
#include "utility/VersionBlock.h"
#include "utility/VersionText.h"

#include <cstring>
#include <new>

namespace {

int OSLevelOf(DWORD major, DWORD minor, bool fallbackTable) {
    DWORD v = major * 256u + minor;
    if (fallbackTable) {
        // GetVersionExW alone cannot tell 8.1 or 10 from 8 on every system, so
        // the fallback never claims more than Windows 8.
        if (v >= 0x0602) return 3;
        if (v == 0x0601) return 2;
        if (v == 0x0600) return 1;
        return 0;
    }
    if (v >= 0x0A00) return 5;
    if (v == 0x0603) return 4;
    if (v == 0x0602) return 3;
    if (v == 0x0601) return 2;
    if (v == 0x0600) return 1;
    return 0;
}

}  // namespace

bool CUtility::ParseVersion(const std::wstring& text, VersionFields& fields) {
    return ScanVersionText(text.c_str(), fields.field) == 4;
}

int CUtility::CompareVersionFields(const VersionFields& a, const VersionFields& b) {
    for (int i = 0; i < 4; ++i) {
        if (a.field[i] < b.field[i]) return -1;
        if (a.field[i] > b.field[i]) return 1;
    }
    return 0;
}

int CUtility::CompareVersion(const std::wstring& a, const std::wstring& b) {
    VersionFields first = {{0, 0, 0, 0}};
    VersionFields second = {{0, 0, 0, 0}};
    ParseVersion(a, first);
    ParseVersion(b, second);
    return CompareVersionFields(first, second);
}

BOOL ReadFixedVersion(const std::wstring& file, const VersionInfoCalls& calls, wchar_t* text, DWORD* mostSignificant,
                      DWORD* leastSignificant, int selector) {
    DWORD ignored = 0;
    DWORD size = calls.getSize(file.c_str(), &ignored);
    if (size == 0) return FALSE;

    unsigned char* block = new (std::nothrow) unsigned char[size];
    if (block == nullptr) return FALSE;

    // A block that was not read holds whatever the allocation held: querying
    // it could find a root block that no file carries.
    BOOL found = calls.getInfo(file.c_str(), 0, size, block);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (found) found = calls.queryValue(block, L"\\", reinterpret_cast<void**>(&info), &infoSize);
    // A root block shorter than the fixed record would be read past its end.
    if (found && (info == nullptr || infoSize < sizeof(VS_FIXEDFILEINFO))) found = FALSE;
    if (found) {
        DWORD high = selector == 1 ? info->dwProductVersionMS : info->dwFileVersionMS;
        DWORD low = selector == 1 ? info->dwProductVersionLS : info->dwFileVersionLS;
        if (mostSignificant != nullptr) *mostSignificant = high;
        if (leastSignificant != nullptr) *leastSignificant = low;
        if (text != nullptr)
            FormatBounded(text, MAX_PATH, L"%u.%u.%u.%u", static_cast<unsigned>(HIWORD(high)),
                          static_cast<unsigned>(LOWORD(high)), static_cast<unsigned>(HIWORD(low)),
                          static_cast<unsigned>(LOWORD(low)));
    }
    delete[] block;
    return found;
}

BOOL CUtility::GetModuleVersion(wchar_t* text, DWORD* mostSignificant, DWORD* leastSignificant, int selector) {
    VersionInfoCalls calls = {};
    calls.getSize = GetSystemFunction<decltype(calls.getSize)>(L"version.dll", "GetFileVersionInfoSizeW");
    calls.getInfo = GetSystemFunction<decltype(calls.getInfo)>(L"version.dll", "GetFileVersionInfoW");
    calls.queryValue = GetSystemFunction<decltype(calls.queryValue)>(L"version.dll", "VerQueryValueW");
    if (calls.getSize == nullptr || calls.getInfo == nullptr || calls.queryValue == nullptr) return FALSE;
    return ReadFixedVersion(GetModulePath(), calls, text, mostSignificant, leastSignificant, selector);
}

int CUtility::MapOSLevel(DWORD major, DWORD minor, bool fallbackTable) {
    return OSLevelOf(major, minor, fallbackTable);
}

int CUtility::GetOSLevel(OSVERSIONINFOEXW* copy) {
    // RtlGetVersion tells the truth whatever the manifest declares; it is looked
    // up, not linked, and ntdll is never loaded for it.
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto rtlGetVersion =
        ntdll != nullptr ? reinterpret_cast<RtlGetVersionFunction>(::GetProcAddress(ntdll, "RtlGetVersion")) : nullptr;
    if (rtlGetVersion != nullptr) {
        OSVERSIONINFOEXW record;
        std::memset(&record, 0, sizeof(record));
        record.dwOSVersionInfoSize = sizeof(record);
        if (rtlGetVersion(&record) == 0) {
            if (copy != nullptr) std::memcpy(copy, &record, sizeof(record));
            return OSLevelOf(record.dwMajorVersion, record.dwMinorVersion, false);
        }
    }

    OSVERSIONINFOEXW record;
    std::memset(&record, 0, sizeof(record));
    record.dwOSVersionInfoSize = sizeof(record);
    ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&record));
    if (copy != nullptr) std::memcpy(copy, &record, sizeof(record));
    return OSLevelOf(record.dwMajorVersion, record.dwMinorVersion, true);
}

bool CUtility::IsPreVista() {
    OSVERSIONINFOW record;
    std::memset(&record, 0, sizeof(record));
    record.dwOSVersionInfoSize = sizeof(record);
    ::GetVersionExW(&record);
    return record.dwMajorVersion < 6;
}

bool CUtility::IsWow64() {
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    auto isWow64Process = kernel32 != nullptr
                              ? reinterpret_cast<IsWow64ProcessFunction>(::GetProcAddress(kernel32, "IsWow64Process"))
                              : nullptr;
    if (isWow64Process == nullptr) return false;
    BOOL wow64 = FALSE;
    if (!isWow64Process(::GetCurrentProcess(), &wow64)) return false;
    return wow64 != FALSE;
}

bool CUtility::IsWindows64Bit() {
    // A 64-bit process runs on 64-bit Windows only; a 32-bit one learns it from WOW64.
    return sizeof(void*) == 8 || IsWow64();
}

void CUtility::OSInfo() {
    OSVERSIONINFOW record;
    std::memset(&record, 0, sizeof(record));
    record.dwOSVersionInfoSize = sizeof(record);
    ::GetVersionExW(&record);
    // szCSDVersion is terminated by the system; the copy guards against a record
    // that filled all 128 characters.
    wchar_t servicePack[129];
    std::memcpy(servicePack, record.szCSDVersion, sizeof(record.szCSDVersion));
    servicePack[128] = L'\0';
    Log(L"[%s] OS %d.%d(%d) %s x64:%d", L"CUtility::OSInfo", static_cast<int>(record.dwMajorVersion),
        static_cast<int>(record.dwMinorVersion), static_cast<int>(record.dwBuildNumber), servicePack,
        IsWindows64Bit() ? 1 : 0);
}
