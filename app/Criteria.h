#pragma once

#include <windows.h>

#include <string>

// The OS bound check of a system with the given major and minor version: packs
// the bound's dot-separated fields (at most four, empty ones skipped) one byte
// each, a field above 255 packing the whole bound to -1, and returns
// (major * 256 + minor) - packed bound. A major version of 0 means the version
// is unknown: the text "5.1" is then compared with the bound, case ignored.
int CompareOSWithBound(DWORD major, DWORD minor, const std::wstring& bound);

// The four bounds of setup.ini's VERSIONCHECK section, with their defaults.
struct UpgradeBounds {
    std::wstring autoVersion;    // ALOWERBOUND
    std::wstring manualVersion;  // MLOWERBOUND
    std::wstring autoOS;         // AOSLOWERBOUND
    std::wstring manualOS;       // MOSLOWERBOUND
};
// An empty path gives the defaults without reading any file.
UpgradeBounds ReadUpgradeBounds(const std::wstring& iniPath);

// setup.ini in the folder of the executable at modulePath; empty when that
// folder is not known (an empty module path, as a path of 260 characters or
// more gives, or one without a folder).
std::wstring FindSetupIni(const std::wstring& modulePath);
