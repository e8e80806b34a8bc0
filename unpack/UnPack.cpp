// The unpacker object and its worker thread. The driver's thread waits for the
// worker without a time limit, so the members are never touched by two threads
// at once and nothing is locked.
#include "unpack/UnPack.h"

#include "utility/Utility.h"

CUnPack::CUnPack(const std::wstring& path) : packagePath(path) {}

// The thread handle is not closed here: the driver always waits for the worker
// first, and UnPackAndWait has closed it by then.
CUnPack::~CUnPack() = default;

int CUnPack::UnPackAndWait() {
    StartUnPackThread();
    // A null handle (the thread could not be created) fails the wait at once.
    if (::WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0) {
        ::CloseHandle(thread);
        thread = nullptr;
    }
    return success;
}

void CUnPack::StartUnPackThread() {
    if (thread != nullptr) return;
    thread = ::CreateThread(nullptr, 0, UnPackThreadProc, this, 0, nullptr);
}

DWORD WINAPI CUnPack::UnPackThreadProc(LPVOID object) {
    if (object == nullptr) return 0;
    return static_cast<DWORD>(static_cast<CUnPack*>(object)->UnPackFiles());
}

std::wstring CUnPack::PackagePath() const { return packagePath.empty() ? CUtility::GetModulePath() : packagePath; }
