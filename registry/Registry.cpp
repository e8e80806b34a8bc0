#include "registry/Registry.h"

// Minimal bodies until registry access lands.
CRegistry::CRegistry() = default;
CRegistry::~CRegistry() = default;
bool CRegistry::Reset() { return true; }
bool CRegistry::SetRootKey(HKEY root) { rootKey = root; return true; }
bool CRegistry::OpenKey(const std::wstring& path) { return OpenKeyAsIs(ConvertUniversalPath(path)); }
bool CRegistry::OpenKeyAsIs(const std::wstring&) { return false; }
bool CRegistry::KeyExists(const std::wstring&) { return false; }
bool CRegistry::ValueExists(const std::wstring&) { return false; }
DWORD CRegistry::QueryValueType(const std::wstring&) { return 0; }
DWORD CRegistry::ReadDWORD(const std::wstring&, DWORD d) { return d; }
std::wstring CRegistry::ReadString(const std::wstring&, const std::wstring& d) { return d; }
bool CRegistry::WriteString(const std::wstring&, const std::wstring&, DWORD) { return false; }
bool CRegistry::WriteDWORD(const std::wstring&, DWORD) { return false; }
bool CRegistry::DeleteValue(const std::wstring&) { return false; }
HKEY CRegistry::AcquireRootKey() { return rootKey; }
void CRegistry::ReleaseRootKey(HKEY) {}
LONG CRegistry::OpenCurrentKey(REGSAM, HKEY&) { return ERROR_FILE_NOT_FOUND; }
