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
    wchar_t folder[MAX_PATH] = {};
    DWORD length = ::GetTempPathW(MAX_PATH, folder);
    if (length != 0 && length < MAX_PATH) return std::wstring(folder) + L"unpack.log";

    wchar_t windows[MAX_PATH] = {};
    UINT windowsLength = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (windowsLength >= MAX_PATH) windows[0] = L'\0';
    return std::wstring(windows) + L"\\Temp\\unpack.log";
}

void CUtility::WriteLogLine(const std::wstring& line) {
    std::wstring path = GetLogFilePath();
    // Append-only, created when missing, and no other writer while the line goes
    // in: a second writer at the same moment loses its line rather than mixing it.
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;

    std::wstring record = line + L"\r\n";
    // UTF-16LE as it stands in memory, without a byte-order mark.
    const BYTE* bytes = reinterpret_cast<const BYTE*>(record.data());
    DWORD remaining = static_cast<DWORD>(record.size() * sizeof(wchar_t));
    while (remaining > 0) {
        DWORD written = 0;
        if (!::WriteFile(file.Get(), bytes, remaining, &written, nullptr) || written == 0) break;
        bytes += written;
        remaining -= written;
    }
}

void CUtility::FileException(const CFileException& error) {
    wchar_t text[1025] = {};
    if (error.GetErrorMessage(text, 1024, nullptr) && text[0] != L'\0')
        Log(L"[%s] %s", L"CUtility::FileException", text);
}
