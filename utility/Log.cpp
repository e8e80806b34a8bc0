#include "framework/File.h"
#include "utility/Format.h"
#include "utility/Utility.h"

#include "framework/Handle.h"

namespace {

// A message holds at most 1022 characters: 1023 elements of the 1024-character
// buffer, the last of them the terminator. Longer messages are cut, never overrun.
constexpr size_t kMessageCapacity = 1023;

std::wstring LocalTimeStamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[128];
    if (FormatBounded(stamp, 128, L"%04d-%02d-%02d %02d:%02d:%02d", now.wYear, now.wMonth, now.wDay, now.wHour,
                      now.wMinute, now.wSecond) < 0)
        return std::wstring();
    return stamp;
}

// The log file's path into a buffer of MAX_PATH + 16 characters: the temporary
// folder, or the Windows folder's Temp when that cannot be had.
void LogFilePathInto(wchar_t* path) {
    DWORD length = ::GetTempPathW(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH) {
        UINT windowsLength = ::GetWindowsDirectoryW(path, MAX_PATH);
        if (windowsLength == 0 || windowsLength >= MAX_PATH) path[0] = L'\0';
        ::lstrcatW(path, L"\\Temp\\");
    }
    ::lstrcatW(path, L"unpack.log");
}

void AppendToLogFile(const wchar_t* path, const wchar_t* record, size_t length) {
    // Append-only, created when missing, and no other writer while the line goes
    // in: a second writer at the same moment loses its line rather than mixing it.
    ScopedHandle file(::CreateFileW(path, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    // UTF-16LE as it stands in memory, without a byte-order mark.
    const BYTE* bytes = reinterpret_cast<const BYTE*>(record);
    DWORD remaining = static_cast<DWORD>(length * sizeof(wchar_t));
    while (remaining > 0) {
        DWORD written = 0;
        if (!::WriteFile(file.Get(), bytes, remaining, &written, nullptr) || written == 0) break;
        bytes += written;
        remaining -= written;
    }
}

}  // namespace

void CUtility::Log(const wchar_t* format, ...) {
    wchar_t message[1024];
    va_list args;
    va_start(args, format);
    FormatBoundedV(message, kMessageCapacity, format, args);
    va_end(args);

    std::wstring stamp = LocalTimeStamp();

    // Read before anything of our own touches the file system, so that the line
    // shows the error the caller's last operation left behind.
    DWORD lastError = ::GetLastError();

    std::wstring line = Format(L"[%d]%s  %s (Last=%d)", static_cast<int>(::GetCurrentProcessId()), stamp.c_str(),
                               message, static_cast<int>(lastError));
    ::OutputDebugStringW(line.c_str());
    WriteLogLine(line);
}

std::wstring CUtility::GetLogFilePath() {
    wchar_t path[MAX_PATH + 16];
    LogFilePathInto(path);
    return path;
}

void CUtility::WriteLogLine(const std::wstring& line) {
    wchar_t path[MAX_PATH + 16];
    LogFilePathInto(path);
    std::wstring record = line + L"\r\n";
    AppendToLogFile(path, record.data(), record.size());
}

void CUtility::LogFatal(const wchar_t* caller, const char* what) {
    DWORD lastError = ::GetLastError();
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    // wsprintfW rather than our own formatting, which builds its text on the
    // heap; its "%s" is wide and "%hs" narrow, as in Format.h. The line stays
    // far below the 1,024 bytes wsprintfW is allowed to write.
    wchar_t record[1024];
    int length = ::wsprintfW(record, L"[%d]%04d-%02d-%02d %02d:%02d:%02d  [%s] %.300hs (Last=%d)\r\n",
                             static_cast<int>(::GetCurrentProcessId()), now.wYear, now.wMonth, now.wDay, now.wHour,
                             now.wMinute, now.wSecond, caller, what, static_cast<int>(lastError));
    if (length <= 0) return;
    ::OutputDebugStringW(record);
    wchar_t path[MAX_PATH + 16];
    LogFilePathInto(path);
    AppendToLogFile(path, record, static_cast<size_t>(length));
}

void CUtility::FileException(const CFileException& error) {
    wchar_t text[1025] = {};
    if (error.GetErrorMessage(text, 1024, nullptr) && text[0] != L'\0')
        Log(L"[%s] %s", L"CUtility::FileException", text);
}
