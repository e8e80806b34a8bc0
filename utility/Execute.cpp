#include "utility/Execute.h"

#include "utility/Format.h"
#include "utility/Utility.h"

#include <shellapi.h>

std::wstring CUtility::GetCommandInterpreter() {
    // A 32-bit process on 64-bit Windows would get the 32-bit interpreter through
    // file-system redirection; "sysnative" reaches the native one.
    if (!IsPreVista() && IsWow64()) {
        wchar_t windows[MAX_PATH] = {};
        UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            wchar_t path[MAX_PATH + 1] = {};
            FormatBounded(path, MAX_PATH, L"%s\\sysnative\\cmd.exe", windows);
            return path;
        }
    }
    return L"cmd.exe";
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
