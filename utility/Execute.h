// The two halves of starting the command interpreter, shared by CUtility::Execute
// and the upgrade's command runner.
#pragma once

#include <windows.h>

#include <string>

// The system folder (GetSystemDirectoryW), which only administrators write to;
// empty when it is unknown or longer than the classic path length.
std::wstring GetSystemFolder();

// What decides which command interpreter the unpacker starts.
struct InterpreterFacts {
    bool wow64 = false;          // a 32-bit process on 64-bit Windows
    bool preVista = false;       // major version below 6: no "sysnative"
    std::wstring systemFolder;   // GetSystemDirectoryW; empty when unknown
    std::wstring windowsFolder;  // GetSystemWindowsDirectoryW; empty when unknown
};

// The interpreter by its full path: "<windows folder>\sysnative\cmd.exe" for a
// 32-bit process on 64-bit Windows Vista or later, else "<system folder>\cmd.exe".
// Empty when the folder it needs is unknown or the path would not fit the
// classic length: then nothing may be started.
std::wstring ChooseCommandInterpreter(const InterpreterFacts& facts);

// Starts a program (normally CUtility::GetCommandInterpreter()) through the
// shell, hidden, with the parameters unchanged and no error UI. True with the
// process handle, which the caller closes; false with the error code when no
// process handle came back, and ERROR_PATH_NOT_FOUND, without trying, for an
// empty file name (an interpreter that could not be named).
bool StartHidden(const std::wstring& file, const std::wstring& parameters, HANDLE& process, DWORD& error);

// What a failed start reports, given the thread's last error: that error when
// there is one; ERROR_INVALID_HANDLE (6) when there is none, since the shell
// may report success without a process handle and leave the last error at 0,
// and 0 would pass for the interpreter's success. 6 names what is missing, and
// it is neither 0 nor 1066, the codes the upgrade accepts.
DWORD StartFailureCode(DWORD lastError);

// Polls every pollMilliseconds, the pause coming before the first reading, until
// the process has ended, and returns its exit code. The end is taken from the
// process handle, so a process whose real exit code is STILL_ACTIVE (259) does
// not keep the caller waiting forever.
DWORD WaitForExitCode(HANDLE process, DWORD pollMilliseconds);
