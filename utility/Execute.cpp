#include "utility/Execute.h"

#include "utility/Format.h"
#include "utility/Utility.h"

#include <shellapi.h>

namespace {

// A folder the platform names (GetSystemDirectoryW's kind); empty when it is
// unknown or does not fit the classic path length, since a path cut short
// would name another folder.
std::wstring FolderFrom(UINT(WINAPI* getFolder)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH] = {};
    UINT length = getFolder(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(folder, length);
}

}  // namespace

std::wstring GetSystemFolder() { return FolderFrom(::GetSystemDirectoryW); }

std::wstring ChooseCommandInterpreter(const InterpreterFacts& facts) {
    // A 32-bit process on 64-bit Windows would get the 32-bit interpreter through
    // file-system redirection; "sysnative" reaches the native one (from Vista on).
    // Everywhere else the system folder holds the interpreter of the process's
    // own kind, which is the native one. Never the bare name: the shell would
    // look for it beside the unpacker and in the current folder first, folders
    // that others can write to.
    const bool native = facts.wow64 && !facts.preVista;
    const std::wstring& folder = native ? facts.windowsFolder : facts.systemFolder;
    if (folder.empty()) return std::wstring();
    std::wstring interpreter = folder + (native ? L"\\sysnative\\cmd.exe" : L"\\cmd.exe");
    return interpreter.size() < MAX_PATH ? interpreter : std::wstring();
}

std::wstring CUtility::GetCommandInterpreter() {
    InterpreterFacts facts;
    facts.wow64 = IsWow64();
    facts.preVista = IsPreVista();
    facts.systemFolder = GetSystemFolder();
    facts.windowsFolder = FolderFrom(::GetSystemWindowsDirectoryW);
    std::wstring interpreter = ChooseCommandInterpreter(facts);
    if (interpreter.empty())
        Log(L"[%s] The system folder is not known: no command is started", L"CUtility::GetCommandInterpreter");
    return interpreter;
}

DWORD StartFailureCode(DWORD lastError) { return lastError != ERROR_SUCCESS ? lastError : ERROR_INVALID_HANDLE; }

bool StartHidden(const std::wstring& file, const std::wstring& parameters, HANDLE& process, DWORD& error) {
    process = nullptr;
    error = 0;
    // No interpreter could be named by its full path: a bare or empty name
    // would leave the choice to the shell's search.
    if (file.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }

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
