#include "utility/Utility.h"

// Minimal bodies until processes and tokens land.
bool CUtility::FindProcesses(const std::wstring&, std::vector<DWORD>& ids, DWORD) {
    ids.clear();
    return true;
}
bool CUtility::KillProcess(DWORD) { return false; }
bool CUtility::GetUserToken(HANDLE&, DWORD) { return false; }
bool CUtility::GetExplorerToken(HANDLE&) { return false; }
