#include "utility/Execute.h"

#include "utility/Format.h"
#include "utility/Utility.h"

#include <shellapi.h>

namespace {

// The interpreter in a system folder the platform names (GetSystemDirectoryW's
// kind), bounded to the classic path length; empty when the folder is unknown.
std::wstring InterpreterIn(UINT(WINAPI* getFolder)(LPWSTR, UINT), const wchar_t* format) {
    wchar_t folder[MAX_PATH] = {};
    UINT length = getFolder(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    wchar_t path[MAX_PATH + 1] = {};
    FormatBounded(path, MAX_PATH, format, folder);
    return path;
}

}  // namespace

std::wstring CUtility::GetCommandInterpreter() {
    std::wstring interpreter;
    // A 32-bit process on 64-bit Windows would get the 32-bit interpreter through
    // file-system redirection; "sysnative" reaches the native one.
    if (!IsPreVista() && IsWow64()) interpreter = InterpreterIn(::GetSystemWindowsDirectoryW, L"%s\\sysnative\\cmd.exe");
    // A 64-bit process is not redirected, and "sysnative" does not exist for it:
    // its own system folder holds the native interpreter.
    else if (sizeof(void*) == 8) interpreter = InterpreterIn(::GetSystemDirectoryW, L"%s\\cmd.exe");
    return interpreter.empty() ? L"cmd.exe" : interpreter;
}

DWORD StartFailureCode(DWORD lastError) { return lastError != ERROR_SUCCESS ? lastError : ERROR_INVALID_HANDLE; }

bool StartHidden(const std::wstring& file, const std::wstring& parameters, HANDLE& process, DWORD& error) {
    process = nullptr;
    error = 0;

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_HIDE;

    if (!::ShellExecuteExW(&info) || info.hProcess == nullptr) {
        error = StartFailureCode(::GetLastError());
        return false;
    }
    process = info.hProcess;
    return true;
}

DWORD WaitForExitCode(HANDLE process, DWORD pollMilliseconds) {
    DWORD code = STILL_ACTIVE;
    for (;;) {
        ::Sleep(pollMilliseconds);
        bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        ::GetExitCodeProcess(process, &code);
        if (ended || code != STILL_ACTIVE) return code;
    }
}

DWORD CUtility::Execute(const std::wstring& workingFolder, const std::wstring& parameters, bool wait) {
    ::SetCurrentDirectoryW(workingFolder.c_str());

    HANDLE process = nullptr;
    DWORD error = 0;
    if (!StartHidden(GetCommandInterpreter(), parameters, process, error)) return error;

    DWORD result = 0;
    if (wait) result = WaitForExitCode(process, 250);
    ::CloseHandle(process);
    return result;
}
