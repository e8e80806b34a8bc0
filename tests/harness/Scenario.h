// The scenario harness: runs the real UnPackFile.exe (or another program) under
// Wine with a time limit, and reports what a person at the machine would see:
// the exit code, the lines the run appended to unpack.log, and every message box,
// each dismissed as if OK had been pressed.
#pragma once

#include "tests/harness/Product.h"

#include <windows.h>

#include <functional>
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
    std::wstring commandName;         // argv[0] as the command line gives it; empty: the program path
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

// ---- Paths --------------------------------------------------------------------

// The Windows form of a Unix path: Wine maps the Unix root to drive Z:.
std::wstring WindowsPathOf(const char* unixPath);
// The build's source tree (Windows form), for test data kept beside the tests.
std::wstring SourcePath(const std::wstring& relative);
// A test cabinet made at build time with gcab (Windows form), by name:
// host.cab, host-compressed.cab, tree.cab, tree-compressed.cab; tree\... holds
// the originals of the tree cabinets.
std::wstring CabinetPath(const std::wstring& name);

// ---- Files and folders ----------------------------------------------------------

bool PathExists(const std::wstring& path);
// Copies a file, creating the destination's folders; overwrites.
bool CopyFileTo(const std::wstring& from, const std::wstring& to);
// All bytes of a file; empty when it cannot be read.
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
// Creates or replaces the file with these bytes, creating its folders.
bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool WriteTextFile(const std::wstring& path, const std::string& text);
// A UTF-16LE file as text (a leading byte-order mark is kept, so tests can see it).
std::wstring ReadUtf16File(const std::wstring& path);
// Removes a folder and everything below it; never follows a reparse point out
// of the tree. True when the folder is gone afterwards.
bool RemoveTree(const std::wstring& folder);
// Creates the folder and every folder on the way to it.
bool CreateFolders(const std::wstring& folder);

// ---- Registry: HKEY_LOCAL_MACHINE in the 32-bit view -----------------------------
// The unpacker is a 32-bit program, so its HKLM reads and writes land in the
// 32-bit view (Wow6432Node); these helpers use the same view.

bool SetHklmString(const std::wstring& key, const std::wstring& name, const std::wstring& value, DWORD type = REG_SZ);
bool SetHklmDword(const std::wstring& key, const std::wstring& name, DWORD value);
// False when the key or value is missing; type receives the value's type.
bool ReadHklmString(const std::wstring& key, const std::wstring& name, std::wstring& value, DWORD* type = nullptr);
bool ReadHklmDword(const std::wstring& key, const std::wstring& name, DWORD& value);
bool HklmValueExists(const std::wstring& key, const std::wstring& name);
bool HklmKeyExists(const std::wstring& key);
bool CreateHklmKey(const std::wstring& key);
// True when the value is gone afterwards (also when it never existed).
bool DeleteHklmValue(const std::wstring& key, const std::wstring& name);
// Removes the key with all its subkeys; true when it is gone afterwards.
bool DeleteHklmTree(const std::wstring& key);
// The same below any root, in the view HostView gives for it.
bool DeleteRegistryTree(HKEY root, const std::wstring& key);

// HKEY_LOCAL_MACHINE in the 32-bit view, HKEY_CURRENT_USER as it is: where the
// unpacker looks, whichever build runs. Tests that call the registry directly
// add this to their access masks.
REGSAM HostView(HKEY root);

// The maker's state on the machine, for one test. Construction saves the
// maker's machine-wide keys ("Software\Kestrune Inc.", 32-bit view) aside and
// removes them, and empties unpack.log. Destruction removes whatever the test
// left there, puts the saved keys back, removes the status values a run must
// never write at the root of HKEY_LOCAL_MACHINE, removes the maker's folder
// below the 32-bit programs folder unless it was there before, and empties
// unpack.log. IsReady() is false when the keys could not be saved aside.
class MakerState {
public:
    MakerState();
    ~MakerState();
    MakerState(const MakerState&) = delete;
    MakerState& operator=(const MakerState&) = delete;
    bool IsReady() const { return ready_; }

private:
    bool ready_ = false;
    bool hadKeys_ = false;
    std::wstring folder_;
    bool folderExisted_ = true;
};

// ---- The single-instance lock ---------------------------------------------------

extern const wchar_t kUnpackerMutexName[];

// Holds a named mutex for its lifetime, as a running copy of the unpacker would.
class HeldMutex {
public:
    explicit HeldMutex(const std::wstring& name = kUnpackerMutexName);
    ~HeldMutex();
    HeldMutex(const HeldMutex&) = delete;
    HeldMutex& operator=(const HeldMutex&) = delete;
    bool IsHeld() const { return handle_ != nullptr; }

private:
    HANDLE handle_ = nullptr;
};

// ---- Processes -------------------------------------------------------------------

// A process a test started. Whatever still runs when the object goes is
// terminated, so no test leaves programs behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(HANDLE process, DWORD id) : process_(process), id_(id) {}
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool IsValid() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_; }
    bool IsRunning() const;
    // True when the process ended within the limit; exitCode receives its code.
    bool WaitForEnd(DWORD limitMs, DWORD* exitCode = nullptr) const;
    void Kill();

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// The command line CreateProcessW gets: the program and each argument quoted
// when needed, so that the program's argument vector receives them unchanged.
std::wstring BuildCommandLine(const std::wstring& exe, const std::vector<std::wstring>& args);
std::wstring BuildCommandLine(const std::wstring& exe, const std::vector<std::wstring>& args,
                              const std::wstring& commandName);
// Starts a program without waiting; an invalid object when it could not start.
ChildProcess StartProcess(const std::wstring& exe, const std::vector<std::wstring>& args = {},
                          const std::wstring& workingFolder = std::wstring());
// Copies the sleeper fixture to folder\name (VYAuto.exe, VYMsg.exe) and starts it.
ChildProcess StartSleeperAs(const std::wstring& folder, const std::wstring& name, DWORD seconds = 600);
// True when the process ended within the limit.
bool WaitForProcessEnd(HANDLE process, DWORD limitMs, DWORD* exitCode = nullptr);
// Starts a Unix program (a path such as "/bin/rm") with its arguments, as Wine
// lets a Windows program do, without waiting for it; false when it is not
// there or could not be started. The start goes through the unixstart fixture.
bool StartUnixProgram(const std::wstring& program, const std::wstring& arguments);
// The same with 8-bit arguments (Unix paths), each byte taken as one character.
bool StartUnixProgram(const std::wstring& program, const std::string& arguments);
// The Unix path of a Windows path through Wine's own export; empty elsewhere.
std::string UnixPathOf(const std::wstring& path);
bool IsReparsePoint(const std::wstring& path);
// A symbolic link at link pointing to target: a Unix link under Wine (which
// shows it as a reparse point, and cannot make a Windows link), and
// CreateSymbolicLinkW elsewhere. False when neither made a reparse point.
bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool folder);
// The share \\server\share, reaching folder, as Wine maps it (a Unix link at
// <prefix>/dosdevices/unc/server/share); its UNC path, or empty where no share
// can be made (not under Wine). RemoveShare takes the link away again.
std::wstring MakeShare(const std::wstring& server, const std::wstring& share, const std::wstring& folder);
void RemoveShare(const std::wstring& server, const std::wstring& share);
// Ids of the running processes with this image name (case ignored).
std::vector<DWORD> FindProcessesByName(const std::wstring& imageName);

// ---- Wine ------------------------------------------------------------------------

// HKCU\Software\Wine\AppDefaults\<exe file name>\Version for the next start of
// that program ("vista", "win7", "win8", "win81", "win10"); empty removes it.
bool SetWindowsVersionFor(const std::wstring& exeFileName, const std::wstring& version);

// ---- Reading a run ---------------------------------------------------------------

// The ASCII characters of wide text, every other character as '?'.
std::string Narrow(const std::wstring& text);
// The log lines, one per row and cut at 300 characters, for failure messages.
std::string DescribeLog(const std::vector<LogLine>& log);
// The log lines and the message boxes of a run, for failure messages.
std::string DescribeRun(const RunResult& result);
bool HasLine(const std::vector<LogLine>& log, const std::wstring& message);
bool HasLineStarting(const std::vector<LogLine>& log, const std::wstring& prefix);
int CountLines(const std::vector<LogLine>& log, const std::wstring& message);
// True when the condition holds within the limit (polled every 50 ms).
bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs = 10000);
// True when the path is gone within the limit.
bool WaitUntilGone(const std::wstring& path, DWORD limitMs);

// ---- Where the unpacker works ------------------------------------------------------

// The 32-bit programs folder, the maker's folder below it, and the unpack folder
// (with its trailing backslash).
std::wstring ProgramFilesX86();
std::wstring MakerProgramsFolder();
std::wstring UnpackFolder();
// The product version of an executable's version block as "a.b.c.d"; empty without one.
std::wstring ProductVersionOf(const std::wstring& exe);

// ---- An upgrade's world ------------------------------------------------------------

// The machine as an upgrade scenario starts from and leaves it: no host or
// updater keys, no maker's folder below the programs folder (so no unpack
// folder), an empty unpack.log, and none of the settings the stand-ins take
// from the environment (FAKEHOST_*, UNPACK_TEST_EXPAND_EXIT, UNPACK_TEST_TIMEOUT_LOG).
void ResetUpgradeWorld();

// Packs entryFile as "package1.cab" behind the built unpacker and delivers the
// result as updaters do, at <root>\mox\download\data\UnPackFile.exe, which it
// returns; a failure is reported to the running test.
std::wstring DeliverPackage(const std::wstring& root, const std::wstring& entryFile);

}  // namespace scenario
