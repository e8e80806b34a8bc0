#include "registry/Registry.h"

const wchar_t kUniversalPathToken[] = L"UNIVERSAL_PATH_CONVERT";
const wchar_t kHostSettingsKey[] = L"Software\\Kestrune Inc.\\Kestrune Remote Server";
const wchar_t kHostSettingsKeyBusiness[] = L"Software\\Kestrune Inc.\\Kestrune Remote Server for Business";

// Minimal body until the server-mode decision lands.
std::wstring ConvertUniversalPath(const std::wstring& path) { return path; }
