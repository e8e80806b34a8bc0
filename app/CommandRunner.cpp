#include "app/UnPackFileApp.h"

#include "utility/Execute.h"
#include "utility/Utility.h"

namespace {
const wchar_t kCaller[] = L"CUnPackFileApp::ExecuteCommand";
}

DWORD CUnPackFileApp::ExecuteCommand(const std::wstring& workingFolder, const std::wstring& parameters) {
    // The commands' relative names (aucab.txt, *.cab, VYAuto.exe) are resolved
    // against the working folder; the change is left in force.
    ::SetCurrentDirectoryW(workingFolder.c_str());

    HANDLE process = nullptr;
    DWORD error = 0;
    if (!StartHidden(CUtility::GetCommandInterpreter(), parameters, process, error)) {
        CUtility::Log(L"[%s] fail %d", kCaller, static_cast<int>(error));
        return error;
    }

    DWORD processId = ::GetProcessId(process);
    CUtility::Log(L"[%s] succ wait pid:%d", kCaller, static_cast<int>(processId));
    DWORD code = WaitForExitCode(process, 120);
    ::CloseHandle(process);
    CUtility::Log(L"[%s] pid:%d finish ecode:%d", kCaller, static_cast<int>(processId), static_cast<int>(code));
    return code;
}
