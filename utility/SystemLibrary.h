// Functions of system libraries that are not loaded with the process (version,
// wtsapi32, bcrypt) are bound on first call, from the copy in the system folder. A
// static import would be resolved by the loader before the library search is
// hardened, and would take a same-named DLL planted beside the executable.
#pragma once

#include <windows.h>

// The export of the system library, or null. The library is taken from the
// process when it is loaded already (the hardening preloads it by full path),
// otherwise loaded by its full path in the system folder; never by bare name.
FARPROC GetSystemLibraryProc(const wchar_t* libraryFile, const char* exportName);

template <typename Function>
Function GetSystemFunction(const wchar_t* libraryFile, const char* exportName) {
    return reinterpret_cast<Function>(GetSystemLibraryProc(libraryFile, exportName));
}
