// CUnPack: finds the package appended to the executable, prepares the unpack
// folder and copies the package's entries into it on a worker thread.
#pragma once

#include "unpack/layout/PackageLayout.h"

#include <windows.h>

#include <cstdint>
#include <string>

class CFile;

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
    // The same, through package, which it opens denying writers and leaves
    // open (when it opened) for the check and the copy to read through.
    uint64_t FindHeader(CFile& package);

    // Proves the package against the trailer FindHeader last read, before
    // anything is written. A trailer with our writer's marker must carry the
    // format version known here, and record a package length that ends where
    // the trailer begins and the SHA-256 of those bytes; a trailer without
    // the marker (another writer's, which the format allows) is taken as it
    // is. False, with one line that says why, when the package must not be
    // extracted.
    bool CheckPackage(CFile& package);

    // The unpack folder, always ending in a backslash; prepared at the first call.
    std::wstring GetUnPackPath();
    void RemoveUnPackPath();
    // The unpack folder "unpackautoupdate\" in tempFolder (ending in a
    // backslash), which GetUnPackPath takes when no programs folder is found:
    // made afresh for the system account and administrators only, never
    // reused. False, with a line that says why, when it could not be made so.
    bool MakeTempUnPackPath(const std::wstring& tempFolder);
    // The unpack folder must not be used: it is not as it was made.
    bool IsUnPackPathRefused() const { return unpackFolderRefused; }

    int GetSuccess() const { return success; }

private:
    std::wstring PackagePath() const;

    HANDLE thread = nullptr;
    std::wstring unpackFolder;
    bool unpackFolderRefused = false;
    int success = 0;
    std::wstring packagePath;
    // The trailer FindHeader found and where it begins; zero when none.
    package::TrailerRecord trailer = {};
    uint64_t trailerStart = 0;
};
