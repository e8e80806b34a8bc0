#include "registry/Registry.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace {

// Access rights, one per kind of operation. Below HKEY_LOCAL_MACHINE the
// x86-64 build adds kMachineView to every open.
constexpr REGSAM kFullAccess = KEY_ALL_ACCESS;  // 0xF003F: the user's hive, KeyExists, ValueExists
constexpr REGSAM kReadAccess = KEY_READ;        // 0x20019
constexpr REGSAM kQueryAccess = KEY_QUERY_VALUE;
constexpr REGSAM kWriteAccess = KEY_WRITE;  // 0x20006
constexpr REGSAM kDeleteAccess = KEY_SET_VALUE;

// The host is a 32-bit program: its machine-wide settings, and the software
// updater's, live in the 32-bit view of the registry. The shipped 32-bit
// unpacker gets that view without asking and passes the masks above as they
// are; the x86-64 build of the same sources names the view, to read and write
// exactly the same values. The user's hive is not redirected and needs no view.
#if defined(_WIN64)
constexpr REGSAM kMachineView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kMachineView = 0;
#endif

bool IsPredefinedRoot(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

}  // namespace

REGSAM AccessBelowRoot(HKEY root, REGSAM access) { return root == HKEY_LOCAL_MACHINE ? access | kMachineView : access; }

CRegistry::CRegistry() = default;

CRegistry::~CRegistry() { Reset(); }

bool CRegistry::Reset() {
    keyPath.clear();
    rootKey = HKEY_CURRENT_USER;
    lazyFlush = true;
    return true;
}

bool CRegistry::SetRootKey(HKEY root) {
    if (!IsPredefinedRoot(root)) return false;
    rootKey = root;
    return true;
}

HKEY CRegistry::AcquireRootKey() {
    if (rootKey != HKEY_CURRENT_USER) return rootKey;

    // HKEY_CURRENT_USER means the user at the keyboard, not the account the
    // unpacker runs under (the local system account when a service starts it).
    // The impersonation lasts only for the opening of the hive; the handle stays
    // good after the thread has reverted.
    HKEY userHive = nullptr;
    LONG status;
    {
        CImpersonateUser user;
        status = ::RegOpenCurrentUser(kFullAccess, &userHive);
    }
    if (status != ERROR_SUCCESS || userHive == nullptr) return HKEY_CURRENT_USER;
    return userHive;
}

void CRegistry::ReleaseRootKey(HKEY root) {
    if (root != nullptr && !IsPredefinedRoot(root)) ::RegCloseKey(root);
}

LONG CRegistry::OpenBelowRoot(const std::wstring& path, REGSAM access, ScopedRegKey& key) {
    HKEY root = AcquireRootKey();
    HKEY opened = nullptr;
    LONG status = ::RegOpenKeyExW(root, path.c_str(), 0, AccessBelowRoot(rootKey, access), &opened);
    ReleaseRootKey(root);
    key.Reset(status == ERROR_SUCCESS ? opened : nullptr);
    return status;
}

bool CRegistry::OpenKey(const std::wstring& path) { return OpenKeyAsIs(ConvertUniversalPath(path)); }

bool CRegistry::OpenKeyAsIs(const std::wstring& path) {
    if (path.empty()) {
        keyPath.clear();
        return true;
    }
    ScopedRegKey key;
    lastError = OpenBelowRoot(path, kReadAccess, key);
    if (lastError != ERROR_SUCCESS) return false;
    keyPath = path;
    if (!lazyFlush) ::RegFlushKey(key.Get());
    return true;
}

bool CRegistry::KeyExists(const std::wstring& path) {
    ScopedRegKey key;
    return OpenBelowRoot(path, kFullAccess, key) == ERROR_SUCCESS;
}

bool CRegistry::ValueExists(const std::wstring& name) {
    ScopedRegKey key;
    if (OpenCurrentKey(kFullAccess, key) != ERROR_SUCCESS) return false;
    return ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

DWORD CRegistry::QueryValueType(const std::wstring& name) {
    ScopedRegKey key;
    lastError = OpenCurrentKey(kQueryAccess, key);
    if (lastError != ERROR_SUCCESS) return 0;
    DWORD type = 0;
    lastError = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, nullptr);
    return lastError == ERROR_SUCCESS ? type : 0;
}

DWORD CRegistry::ReadDWORD(const std::wstring& name, DWORD defaultValue) {
    ScopedRegKey key;
    if (OpenCurrentKey(kReadAccess, key) != ERROR_SUCCESS) return defaultValue;
    // The stored type is not examined: any value of at most four bytes is read as
    // a little-endian number. The bytes a shorter value does not supply are zero.
    unsigned char bytes[4] = {0, 0, 0, 0};
    DWORD size = sizeof(bytes);
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr, bytes, &size) != ERROR_SUCCESS)
        return defaultValue;
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) | (static_cast<DWORD>(bytes[2]) << 16) |
           (static_cast<DWORD>(bytes[3]) << 24);
}

std::wstring CRegistry::ReadString(const std::wstring& name, const std::wstring& defaultValue) {
    DWORD type = QueryValueType(name);
    if (type != REG_SZ && type != REG_EXPAND_SZ) return defaultValue;

    ScopedRegKey key;
    lastError = OpenCurrentKey(kReadAccess, key);
    if (lastError != ERROR_SUCCESS) return defaultValue;

    DWORD size = 0;
    lastError = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr, nullptr, &size);
    if (lastError != ERROR_SUCCESS) return defaultValue;

    // One character more than the value holds: text stored without its
    // terminating zero still ends inside the buffer.
    DWORD characters = size / 2 + 1;
    wchar_t* buffer = new (std::nothrow) wchar_t[characters];
    if (buffer == nullptr) return defaultValue;
    std::memset(buffer, 0, characters * sizeof(wchar_t));
    lastError = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    std::wstring result = defaultValue;
    if (lastError == ERROR_SUCCESS) {
        buffer[characters - 1] = L'\0';
        result.assign(buffer);
    }
    delete[] buffer;
    return result;
}

bool CRegistry::WriteString(const std::wstring& name, const std::wstring& text, DWORD type) {
    ScopedRegKey key;
    if (OpenCurrentKey(kWriteAccess, key) != ERROR_SUCCESS) return false;
    // The text up to its first zero, with that zero.
    size_t characters = std::wcslen(text.c_str()) + 1;
    bool written = ::RegSetValueExW(key.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                    static_cast<DWORD>(characters * sizeof(wchar_t))) == ERROR_SUCCESS;
    if (!lazyFlush) ::RegFlushKey(key.Get());
    return written;
}

bool CRegistry::WriteDWORD(const std::wstring& name, DWORD value) {
    ScopedRegKey key;
    if (OpenCurrentKey(kWriteAccess, key) != ERROR_SUCCESS) return false;
    bool written = ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                    sizeof(value)) == ERROR_SUCCESS;
    if (!lazyFlush) ::RegFlushKey(key.Get());
    return written;
}

bool CRegistry::DeleteValue(const std::wstring& name) {
    ScopedRegKey key;
    if (OpenCurrentKey(kDeleteAccess, key) != ERROR_SUCCESS) return false;
    // A deletion is never flushed, whatever lazyFlush says.
    return ::RegDeleteValueW(key.Get(), name.c_str()) == ERROR_SUCCESS;
}
