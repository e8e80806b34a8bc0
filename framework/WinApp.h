// The least application shell the unpacker needs: one global application object,
// constructed during static initialisation, whose InitInstance runs once.
#pragma once

#include <windows.h>

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();

    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The start-up routine. True would enter the message loop; false ends at once.
    virtual BOOL InitInstance();
    // The program has no main window, so the loop has nothing to wait for.
    virtual int Run();
    virtual int ExitInstance();
};

CWinApp* AfxGetApp();

// Runs the application object's start-up routine once and returns the process
// exit code, which is 0 on every path.
int AfxWinMain();
