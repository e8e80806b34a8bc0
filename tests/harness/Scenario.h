// The scenario harness: runs the real UnPackFile.exe (or another program) under
// Wine with a time limit, and reports what a person at the machine would see:
// the exit code, the lines the run appended to unpack.log, and every message box,
// each dismissed as if OK had been pressed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace scenario {

struct LogLine {
    DWORD processId = 0;
    std::wstring time;     // "YYYY-MM-DD HH:MM:SS" (may be empty)
    std::wstring message;  // between the two blanks and " (Last="
    int lastError = 0;
    std::wstring raw;      // the whole line without CR LF
};

struct BoxSeen {
    std::wstring caption;
    std::wstring text;
    UINT style = 0;  // MB_ICONINFORMATION (0x40) when an icon was shown, MB_OK otherwise
};

struct RunOptions {
    std::wstring exe;                 // empty: ProductExe()
    std::vector<std::wstring> args;   // each quoted when it holds a blank
    std::wstring workingFolder;       // empty: the test's own current folder
    DWORD timeoutMs = 60000;          // killed at the limit
    bool dismissBoxes = true;         // press OK on every box that appears
    std::wstring windowsVersion;      // "vista", "win7", "win8", "win81", "win10"; empty: leave as is
};

struct RunResult {
    bool finished = false;            // false: killed at the time limit
    DWORD exitCode = 0;
    std::vector<LogLine> log;         // lines appended to unpack.log during the run
    std::vector<BoxSeen> boxes;       // in the order they appeared
};

RunResult Run(const RunOptions& options);

// Paths (Windows form) of what the build produced.
std::wstring ProductExe();
std::wstring FixturePath(const std::wstring& exeName);

// unpack.log of this account: its path, all its lines, and its removal.
std::wstring LogPath();
std::vector<LogLine> ReadLog();
std::vector<LogLine> ParseLog(const std::vector<unsigned char>& bytes);
void ResetLog();

// A fresh, empty scratch folder below C:\ for one test (removed first if present).
std::wstring ScratchFolder(const std::wstring& name);

}  // namespace scenario
