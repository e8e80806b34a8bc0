#include "registry/Registry.h"

#include <cwchar>

const wchar_t kUniversalPathToken[] = L"UNIVERSAL_PATH_CONVERT";
const wchar_t kHostSettingsKey[] = L"Software\\Kestrune Inc.\\Kestrune Remote Server";
const wchar_t kHostSettingsKeyBusiness[] = L"Software\\Kestrune Inc.\\Kestrune Remote Server for Business";

namespace {

// "VYServerMode" 1 marks the server for business use.
constexpr DWORD kBusinessServerMode = 1;
// "MOXBasedType" 1 (or absent) keeps the decision on the machine.
constexpr DWORD kMachineWideType = 1;

// The machine decides: the business key when the machine-wide standard key says
// "VYServerMode" 1, the standard key in every other case.
std::wstring MachineWideRule() {
    CRegistry machine;
    machine.SetRootKey(HKEY_LOCAL_MACHINE);
    if (machine.OpenKeyAsIs(kHostSettingsKey) && machine.ReadDWORD(L"VYServerMode", 0) == kBusinessServerMode)
        return kHostSettingsKeyBusiness;
    return kHostSettingsKey;
}

}  // namespace

std::wstring ConvertUniversalPath(const std::wstring& path) {
    if (_wcsicmp(path.c_str(), kUniversalPathToken) != 0) return path;

    CRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    // Without the machine-wide standard key the type is absent: its default keeps
    // the decision on the machine. (The object would otherwise still stand at the
    // root of HKEY_LOCAL_MACHINE and read a value that is not the host's.)
    DWORD type = kMachineWideType;
    if (registry.OpenKeyAsIs(kHostSettingsKey)) type = registry.ReadDWORD(L"MOXBasedType", kMachineWideType);
    if (type == kMachineWideType) return MachineWideRule();

    // Per-user server mode: the interactive user's own standard key decides,
    // where that key and its "VYServerMode" exist.
    registry.Reset();
    registry.SetRootKey(HKEY_CURRENT_USER);
    if (!registry.KeyExists(kHostSettingsKey)) return MachineWideRule();
    if (!registry.OpenKeyAsIs(kHostSettingsKey)) return kHostSettingsKey;
    if (!registry.ValueExists(L"VYServerMode")) return MachineWideRule();
    return registry.ReadDWORD(L"VYServerMode", 0) == kBusinessServerMode ? kHostSettingsKeyBusiness : kHostSettingsKey;
}
