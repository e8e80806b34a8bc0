// A library planted beside the unpacker under the name of a system library. When
// anything loads it, it appends its own file name to the file that
// UNPACK_TEST_PLANT_MARKER names, so a test can tell that it was loaded.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"UNPACK_TEST_PLANT_MARKER", marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    char name[MAX_PATH] = {};
    DWORD nameLength = GetModuleFileNameA(instance, name, MAX_PATH - 2);
    name[nameLength++] = '\r';
    name[nameLength++] = '\n';
    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, name, nameLength, &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
