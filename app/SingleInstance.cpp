#include "app/SingleInstance.h"

const wchar_t kSingleInstanceMutexName[] = L"Global\\{47B9233E-7E50-46F2-B442-6A53F0D0F508}";

namespace {
CSingleInstance* g_current = nullptr;
}

CSingleInstance::CSingleInstance(const std::wstring& mutexName) : unnamed(mutexName.empty()), name(mutexName) {
    Create();
    g_current = this;
}

CSingleInstance::~CSingleInstance() {
    if (g_current == this) g_current = nullptr;
    if (mutex != nullptr) ::CloseHandle(mutex);
}

void CSingleInstance::Create() {
    if (mutex != nullptr) {
        ::CloseHandle(mutex);
        mutex = nullptr;
    }
    mutex = ::CreateMutexW(nullptr, FALSE, unnamed ? nullptr : name.c_str());
    lastError = ::GetLastError();
}

bool CSingleInstance::IsAnotherRunning() const {
    return lastError == ERROR_ALREADY_EXISTS || lastError == ERROR_ACCESS_DENIED;
}

CSingleInstance* CSingleInstance::Current() { return g_current; }
