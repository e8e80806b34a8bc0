// Reading a file's fixed version information, with the version library's calls
// passed in, so that a read that fails halfway can be checked without a file
// that makes the platform fail.
#pragma once

#include <windows.h>

#include <string>

struct VersionInfoCalls {
    DWORD(WINAPI* getSize)(LPCWSTR file, LPDWORD handle);
    BOOL(WINAPI* getInfo)(LPCWSTR file, DWORD handle, DWORD size, LPVOID data);
    BOOL(WINAPI* queryValue)(LPCVOID block, LPCWSTR subBlock, LPVOID* value, PUINT size);
};

// CUtility::GetModuleVersion for the given file: non-zero when its root block
// was read, with the text (260 characters) and the two values filled in; 0
// otherwise, with nothing written.
BOOL ReadFixedVersion(const std::wstring& file, const VersionInfoCalls& calls, wchar_t* text, DWORD* mostSignificant,
                      DWORD* leastSignificant, int selector);
