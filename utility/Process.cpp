#include "framework/Handle.h"
#include "utility/SystemLibrary.h"
#include "utility/Utility.h"

#include <windows.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cwchar>

namespace {

// Every right on a process; the value of PROCESS_ALL_ACCESS on Vista and later,
// spelled out so that it does not depend on the SDK's target version.
constexpr DWORD kProcessAllAccess = 0x1FFFFF;
// What a stubborn process still grants: enough to end it and wait for it.
constexpr DWORD kProcessTerminateSynchronize = PROCESS_TERMINATE | SYNCHRONIZE;  // 0x100001
// Every right on a token (TOKEN_ALL_ACCESS without the session-id right).
constexpr DWORD kTokenAllAccess = 0xF01FF;
// The exit code a terminated host program reports to its waiters.
constexpr UINT kTerminatedExitCode = 2;

// The unpacker starts no child while these handles are open, and none of them
// has a reason to be inherited, so they are opened non-inheritable.
constexpr BOOL kInheritHandle = FALSE;

}  // namespace

bool CUtility::FindProcesses(const std::wstring& exeName, std::vector<DWORD>& processIds, DWORD session) {
    ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    processIds.clear();
    if (!snapshot) return false;

    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName.c_str()) != 0) continue;
        if (session == 0xFFFFFFFF) {
            processIds.push_back(entry.th32ProcessID);
            continue;
        }
        DWORD processSession = 0;
        if (::ProcessIdToSessionId(entry.th32ProcessID, &processSession) && processSession == session)
            processIds.push_back(entry.th32ProcessID);
    }
    return true;
}

bool CUtility::KillProcess(DWORD processId) {
    ScopedHandle process(::OpenProcess(kProcessAllAccess, kInheritHandle, processId));
    if (!process) process.Reset(::OpenProcess(kProcessTerminateSynchronize, kInheritHandle, processId));
    if (process) {
        // Not waited for: the caller pauses once after stopping every match.
        ::TerminateProcess(process.Get(), kTerminatedExitCode);
        return true;
    }
    // The idle process cannot be opened; asking to stop it is not a failure.
    return processId == 0;
}

bool CUtility::GetUserToken(HANDLE& token, DWORD session) {
    return GetUserToken(token, session,
                        GetSystemFunction<QueryUserTokenFunction>(L"wtsapi32.dll", "WTSQueryUserToken"));
}

bool CUtility::GetUserToken(HANDLE& token, DWORD session, QueryUserTokenFunction queryUserToken) {
    if (session == 0xFFFFFFFF) {
        DWORD own = 0;
        if (::ProcessIdToSessionId(::GetCurrentProcessId(), &own)) session = own;
    }
    // Only a caller that may query session tokens (the local system account) gets
    // one here; an unpacker started by a user takes the shell's token instead.
    HANDLE userToken = nullptr;
    if (queryUserToken != nullptr && queryUserToken(session, &userToken)) {
        token = userToken;
        return true;
    }
    return GetExplorerToken(token);
}

bool CUtility::GetExplorerToken(HANDLE& token) {
    std::vector<DWORD> shells;
    FindProcesses(L"explorer.exe", shells, 0xFFFFFFFF);
    if (shells.empty()) return false;

    ScopedHandle process(::OpenProcess(kProcessAllAccess, kInheritHandle, shells.front()));
    if (!process) return false;

    ScopedHandle processToken;
    if (!::OpenProcessToken(process.Get(), kTokenAllAccess, processToken.Receive())) return false;

    HANDLE duplicate = nullptr;
    if (!::DuplicateTokenEx(processToken.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                            &duplicate))
        return false;
    token = duplicate;
    return true;
}
