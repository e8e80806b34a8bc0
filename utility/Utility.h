// CUtility: the stateless helpers every part of the unpacker shares. One source
// file per concern: Log.cpp, Version.cpp, Process.cpp, Execute.cpp, FileSystem.cpp.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class CFileException;

// Four version numbers in text order: field[0] is the leftmost, most significant.
struct VersionFields {
    uint32_t field[4];
};

class CUtility {
public:
    CUtility() = delete;

    // ---- Log file (Log.cpp) -------------------------------------------------
    // Formats one message (wide printf, "%s" is wide text) and appends the line
    // "[pid]time  message (Last=error)" to unpack.log and the debugger output.
    static void Log(const wchar_t* format, ...);
    static std::wstring GetLogFilePath();
    static void WriteLogLine(const std::wstring& line);
    // The last line of a run that cannot go on because memory ran out or the C++
    // library met an impossible request: "[pid]time  [caller] what (Last=error)",
    // written with stack buffers only, since the heap may be what failed.
    static void LogFatal(const wchar_t* caller, const char* what);
    // Logs the error-message text of a failed file operation.
    static void FileException(const CFileException& error);

    // ---- Version numbers and OS information (Version.cpp) -------------------
    static int CompareVersion(const std::wstring& a, const std::wstring& b);
    static bool ParseVersion(const std::wstring& text, VersionFields& fields);
    static int CompareVersionFields(const VersionFields& a, const VersionFields& b);
    // text: optional buffer of 260 characters. selector 1: product version, else file version.
    static BOOL GetModuleVersion(wchar_t* text, DWORD* mostSignificant, DWORD* leastSignificant, int selector);
    // 1 Vista, 2 Windows 7, 3 Windows 8, 4 Windows 8.1, 5 Windows 10 and later, 0 otherwise.
    static int GetOSLevel(OSVERSIONINFOEXW* copy);
    // The OSLevel of major.minor: the full table for RtlGetVersion, or the shorter
    // one (never above 3) for the GetVersionExW fallback.
    static int MapOSLevel(DWORD major, DWORD minor, bool fallbackTable);
    static bool IsPreVista();
    static bool IsWow64();
    // True on 64-bit Windows, whichever build of the unpacker asks.
    static bool IsWindows64Bit();
    static void OSInfo();

    // ---- Processes and user tokens (Process.cpp) ---------------------------
    // session 0xFFFFFFFF matches every session.
    static bool FindProcesses(const std::wstring& exeName, std::vector<DWORD>& processIds, DWORD session);
    static bool KillProcess(DWORD processId);
    // session 0xFFFFFFFF stands for the running process's own session. The token belongs to the caller.
    static bool GetUserToken(HANDLE& token, DWORD session);
    // The same with the session-token query passed in (WTSQueryUserToken's shape),
    // so that the fallback to the shell's token can be exercised.
    using QueryUserTokenFunction = BOOL(WINAPI*)(ULONG session, PHANDLE token);
    static bool GetUserToken(HANDLE& token, DWORD session, QueryUserTokenFunction queryUserToken);
    static bool GetExplorerToken(HANDLE& token);

    // ---- Shell execution (Execute.cpp) --------------------------------------
    // Starts the command interpreter hidden with the given parameters in the given
    // working folder; with wait, returns its exit code, else 0 once it started.
    // A failed start returns the Win32 error code.
    static DWORD Execute(const std::wstring& workingFolder, const std::wstring& parameters, bool wait);
    // The interpreter to start, by its full path (ChooseCommandInterpreter in
    // Execute.h): the native one through "sysnative" for a 32-bit process on
    // 64-bit Windows Vista or later, otherwise the system folder's. Empty, with
    // a log line, when the folder is unknown.
    static std::wstring GetCommandInterpreter();

    // ---- File-system helpers (FileSystem.cpp) -------------------------------
    static bool FileExists(const std::wstring& path);
    static bool IsMountPoint(const std::wstring& path);
    static bool RemoveFolder(const std::wstring& path);
    static bool RemoveFile(const std::wstring& path);
    static void DeleteFolderTree(const std::wstring& path);
    // Cuts the text at its last backslash, n times; a text without one stays.
    static void TrimPath(std::wstring& path, int n);
    static std::wstring GetModulePath();
};
