// CRegistry: the unpacker's only way to the registry. An object stands for one
// root and one current key below it; every value operation opens the current key
// afresh and closes it again, so no registry handle outlives a call.
#pragma once

#include "framework/Handle.h"

#include <windows.h>

#include <string>

// The path token that stands for the installed host's settings key.
extern const wchar_t kUniversalPathToken[];  // "UNIVERSAL_PATH_CONVERT"
extern const wchar_t kHostSettingsKey[];     // standard server
extern const wchar_t kHostSettingsKeyBusiness[];

// Turns the path token into the host settings key of the server mode in force;
// every other path comes back unchanged.
std::wstring ConvertUniversalPath(const std::wstring& path);

// The access mask an open below a root passes: the operation's own, with
// KEY_WOW64_32KEY added below HKEY_LOCAL_MACHINE in the x86-64 build only.
REGSAM AccessBelowRoot(HKEY root, REGSAM access);

class CRegistry {
public:
    CRegistry();
    virtual ~CRegistry();
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    bool Reset();
    bool SetRootKey(HKEY root);
    void SetLazyFlush(bool lazy) { lazyFlush = lazy; }
    bool OpenKey(const std::wstring& path);
    bool OpenKeyAsIs(const std::wstring& path);
    bool KeyExists(const std::wstring& path);
    bool ValueExists(const std::wstring& name);
    DWORD QueryValueType(const std::wstring& name);
    DWORD ReadDWORD(const std::wstring& name, DWORD defaultValue);
    std::wstring ReadString(const std::wstring& name, const std::wstring& defaultValue);
    bool WriteString(const std::wstring& name, const std::wstring& text, DWORD type);
    bool WriteDWORD(const std::wstring& name, DWORD value);
    bool DeleteValue(const std::wstring& name);

    // True when the current key is the root itself (no key path is open).
    bool IsAtRoot() const { return keyPath.empty(); }
    HKEY GetRootKey() const { return rootKey; }
    const std::wstring& GetKeyPath() const { return keyPath; }
    LONG GetLastError() const { return lastError; }

private:
    // The handle that stands for rootKey during one operation: for
    // HKEY_CURRENT_USER the interactive user's hive. Give it back with ReleaseRootKey.
    HKEY AcquireRootKey();
    void ReleaseRootKey(HKEY root);
    // Opens path (empty: the root itself) below the root handle.
    LONG OpenBelowRoot(const std::wstring& path, REGSAM access, ScopedRegKey& key);
    LONG OpenCurrentKey(REGSAM access, ScopedRegKey& key) { return OpenBelowRoot(keyPath, access, key); }

    LONG lastError = 0;
    HKEY rootKey = HKEY_CURRENT_USER;
    std::wstring keyPath;
    bool lazyFlush = true;
};

// Impersonates the interactive user for the life of the object.
class CImpersonateUser {
public:
    CImpersonateUser();
    virtual ~CImpersonateUser();
    CImpersonateUser(const CImpersonateUser&) = delete;
    CImpersonateUser& operator=(const CImpersonateUser&) = delete;

    bool IsImpersonating() const { return impersonating; }

private:
    bool impersonating = false;
    HANDLE userToken = nullptr;
};
