// CUnPackFileApp: the application object whose start-up routine runs the whole
// upgrade as one straight sequence of checks and steps.
#pragma once

#include "framework/WinApp.h"

#include <string>

class CRegistry;

// A refusal's message pair: string ids of the box's text and caption.
struct Refusal {
    UINT textId = 0;
    UINT captionId = 0;
};

class CUnPackFileApp : public CWinApp {
public:
    CUnPackFileApp();
    ~CUnPackFileApp() override;

    BOOL InitInstance() override;

    // Positive when the running system is above the OS bound ("major.minor").
    int CheckOSBoundary(std::wstring bound);
    // Runs the command interpreter with the parameters in the working folder and
    // returns its exit code, or the error code of a failed start.
    DWORD ExecuteCommand(const std::wstring& workingFolder, const std::wstring& parameters);
    void RemoveDownloadFolder();
    void HackForNDUSilentInstallFail();

private:
    // The version and OS criteria. False with the refusal's message pair when the
    // upgrade must not go on; the log line is written already.
    bool CheckUpgradeCriteria(bool manual, CRegistry& hostSettings, Refusal& refusal);
    // Stops every running VYAuto.exe and VYMsg.exe.
    void StopHostProcesses();
    // The box in manual mode, then the fix-up; InitInstance returns false after it.
    void Refuse(bool manual, const Refusal& refusal);
};

// Manual mode unless an argument, the program path included, reads "S" once
// every '/' and '-' is removed (case ignored). Only looked at with two or more elements.
bool IsManualMode(int argc, wchar_t** argv);

// The single global application object.
extern CUnPackFileApp theApp;
