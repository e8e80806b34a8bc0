#include "utility/SystemLibrary.h"

#include "app/LibraryHardening.h"

FARPROC GetSystemLibraryProc(const wchar_t* libraryFile, const char* exportName) {
    HMODULE module = ::GetModuleHandleW(libraryFile);
    if (module == nullptr) {
        wchar_t folder[MAX_PATH + 1] = {};
        UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return nullptr;
        std::wstring path = SystemLibraryPath(std::wstring(folder, length), libraryFile, false);
        if (path.empty()) return nullptr;
        module = ::LoadLibraryW(path.c_str());
    }
    return module != nullptr ? ::GetProcAddress(module, exportName) : nullptr;
}
