// The single-instance lock: a global named mutex, created during static
// initialisation right after the application object and held until the process
// ends. Holding the handle is the lock; it is never waited on or released.
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t kSingleInstanceMutexName[];

class CSingleInstance {
public:
    // An empty name creates an unnamed mutex, which nobody else can see.
    explicit CSingleInstance(const std::wstring& name);
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    void Create();
    // True when the mutex existed before: in this or (access denied) another security context.
    bool IsAnotherRunning() const;

    // The process's lock, once it has been constructed.
    static CSingleInstance* Current();

private:
    DWORD lastError = 0;
    HANDLE mutex = nullptr;
    bool unnamed = false;
    std::wstring name;
};
