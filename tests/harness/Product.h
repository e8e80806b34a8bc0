// What the unpacker reads and writes, named once for every test: the registry
// keys of the host and of the maker's software updater (below
// HKEY_LOCAL_MACHINE, in its 32-bit view), the beginnings of the driver's and
// the fix-up's lines, and the texts of its string table.
#pragma once

#include <string>

namespace scenario {

const wchar_t kMakerKey[] = L"Software\\Kestrune Inc.";
const wchar_t kHostKey[] = L"Software\\Kestrune Inc.\\Kestrune Remote Server";
const wchar_t kBusinessKey[] = L"Software\\Kestrune Inc.\\Kestrune Remote Server for Business";
const wchar_t kUpdaterKey[] = L"Software\\Kestrune Inc.\\Kestrune Software Updater";
const wchar_t kPlvaProduct[] = L"Software\\Kestrune Inc.\\Kestrune Software Updater\\Platforms\\PLVA00\\Products\\SVR";
const wchar_t kProtoProduct[] =
    L"Software\\Kestrune Inc.\\Kestrune Software Updater\\Platforms\\PROTOOVRA00\\Products\\SVR";

// The driver's lines begin with this; a refused run ends with kLastLine.
const std::wstring kCaller = L"[CUnPackFileApp::InitInstance] ";
const wchar_t kLastLine[] = L"[CUnPackFileApp::HackForNDUSilentInstallFail] autoinstaller prepare to exit";

// The string table.
const wchar_t kAnotherInstallation[] =
    L"Another installation is in progress. You must complete that installation before starting this one.";  // 129
const wchar_t kProductName[] = L"Kestrune Ostrel";                                                  // 130
const wchar_t kDiskSpaceText[] = L"There is not enough disk space to install .";                    // 131
const wchar_t kNoUpdates[] = L"There are no updates available at this time.";                       // 132
const wchar_t kUpdateFailedCaption[] = L"Kestrune Ostrel Update Failed";                            // 134
// The first sentence of the fresh-installation text (135).
const wchar_t kFreshInstallStart[] = L"This new version of Kestrune Ostrel cannot be updated on your current version.";
const wchar_t kAutoInstaller[] = L"Kestrune Ostrel Auto Installer";                                 // 136
const wchar_t kUpgradeSystem[] =
    L"To install Kestrune Ostrel, please upgrade your system to Windows 7 or a newer version.";     // 141

}  // namespace scenario
