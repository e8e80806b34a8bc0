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

// Polls every pollMilliseconds, the pause coming before the first reading, until
// the process has ended, and returns its exit code. The end is taken from the
// process handle, so a process whose real exit code is STILL_ACTIVE (259) does
// not keep the caller waiting forever.
DWORD WaitForExitCode(HANDLE process, DWORD pollMilliseconds);
