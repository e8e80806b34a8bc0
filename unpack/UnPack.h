// CUnPack: finds the package appended to the executable, prepares the unpack
// folder and copies the package's entries into it on a worker thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class CUnPack {
public:
    // packagePath: the file that carries the package; empty means the running
    // executable's own file, which is what the product always uses.
    explicit CUnPack(const std::wstring& packagePath = std::wstring());
    ~CUnPack();
    CUnPack(const CUnPack&) = delete;
    CUnPack& operator=(const CUnPack&) = delete;

    // Starts the worker, waits for it without a time limit, returns the success flag.
    int UnPackAndWait();
    void StartUnPackThread();
    static DWORD WINAPI UnPackThreadProc(LPVOID object);
    int UnPackFiles();

    // The file offset of the first entry record; 0 when there is no package.
    uint64_t FindHeader();

    // The unpack folder, always ending in a backslash; prepared at the first call.
    std::wstring GetUnPackPath();
    void RemoveUnPackPath();

    int GetSuccess() const { return success; }

private:
    std::wstring PackagePath() const;

    HANDLE thread = nullptr;
    std::wstring unpackFolder;
    int success = 0;
    std::wstring packagePath;
};
