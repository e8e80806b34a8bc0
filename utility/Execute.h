// The two halves of starting the command interpreter, shared by CUtility::Execute
// and the upgrade's command runner.
#pragma once

#include <windows.h>

#include <string>

// Starts a program (normally CUtility::GetCommandInterpreter()) through the
// shell, hidden, with the parameters unchanged and no error UI. True with the
// process handle, which the caller closes; false with the error code when no
// process handle came back.
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
