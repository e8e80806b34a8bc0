#include "unpack/UnPack.h"

#include "utility/Utility.h"

// Minimal bodies until the package reader and extraction land.
CUnPack::CUnPack(const std::wstring& path) : packagePath(path) {}
CUnPack::~CUnPack() = default;
int CUnPack::UnPackAndWait() { return UnPackFiles(); }
void CUnPack::StartUnPackThread() {}
DWORD WINAPI CUnPack::UnPackThreadProc(LPVOID) { return 0; }
int CUnPack::UnPackFiles() { return 0; }
uint64_t CUnPack::FindHeader() { return 0; }
std::wstring CUnPack::GetUnPackPath() { return unpackFolder; }
void CUnPack::RemoveUnPackPath() {}
std::wstring CUnPack::PackagePath() const { return packagePath.empty() ? CUtility::GetModulePath() : packagePath; }
