// CRegistry and CImpersonateUser against the real registry. Every test works
// below its own test key, which it creates and removes.
#include "framework/Handle.h"
#include "registry/Registry.h"
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kTestKey[] = L"Software\\UnPackFileTests\\Registry";
const wchar_t kMissingKey[] = L"Software\\UnPackFileTests\\Registry\\NoSuchKey";

// Raw access for setting up and checking, independent of the class under test.
// HKEY_LOCAL_MACHINE in its 32-bit view, as the unpacker sees it in either build.
void PutValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | scenario::HostView(root), nullptr, key.Receive(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void PutText(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const std::wstring& text, bool terminated = true) {
    PutValue(root, path, name, type, text.c_str(), static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t)));
}

void PutDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD value) {
    PutValue(root, path, name, REG_DWORD, &value, sizeof(value));
}

struct RawValue {
    bool exists = false;
    DWORD type = 0;
    std::vector<unsigned char> bytes;
};

RawValue GetValue(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view = 0) {
    RawValue value;
    ScopedRegKey key;
    if (::RegOpenKeyExW(root, path, 0, KEY_READ | (view != 0 ? view : scenario::HostView(root)), key.Receive()) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    value.bytes.resize(size);
    if (::RegQueryValueExW(key.Get(), name, nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS)
        return value;
    value.bytes.resize(size);
    value.exists = true;
    return value;
}

std::vector<unsigned char> BytesOf(const std::wstring& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.c_str());
    return std::vector<unsigned char>(p, p + (text.size() + 1) * sizeof(wchar_t));
}

// ERROR_NO_TOKEN when the thread impersonates nobody.
DWORD ThreadTokenError() {
    ScopedHandle token;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive())) return ERROR_SUCCESS;
    return ::GetLastError();
}

void RemoveTestKeys() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) scenario::DeleteRegistryTree(root, L"Software\\UnPackFileTests");
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveTestKeys();
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            ScopedRegKey key;
            ASSERT_EQ(ERROR_SUCCESS,
                      ::RegCreateKeyExW(root, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS | scenario::HostView(root), nullptr, key.Receive(), nullptr));
        }
    }
    void TearDown() override { RemoveTestKeys(); }
};

TEST_F(RegistryTest, ConstructionAndReset) {
    CRegistry registry;
    EXPECT_EQ(HKEY_CURRENT_USER, registry.GetRootKey());
    EXPECT_TRUE(registry.IsAtRoot());
    EXPECT_EQ(0, registry.GetLastError());

    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    EXPECT_TRUE(registry.Reset());
    EXPECT_EQ(HKEY_CURRENT_USER, registry.GetRootKey());
    EXPECT_TRUE(registry.IsAtRoot());
}

TEST_F(RegistryTest, SetRootKeyTakesOnlyTheFourPredefinedRoots) {
    ScopedRegKey opened;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, opened.Receive()));
    const struct {
        HKEY root;
        bool accepted;
    } cases[] = {
        {HKEY_CLASSES_ROOT, true},      {HKEY_CURRENT_USER, true},       {HKEY_LOCAL_MACHINE, true},
        {HKEY_USERS, true},             {HKEY_PERFORMANCE_DATA, false},  {HKEY_CURRENT_CONFIG, false},
        {HKEY_DYN_DATA, false},         {opened.Get(), false},           {nullptr, false},
    };
    for (const auto& c : cases) {
        CRegistry registry;
        ASSERT_TRUE(registry.SetRootKey(HKEY_USERS));
        EXPECT_EQ(c.accepted, registry.SetRootKey(c.root)) << c.root;
        EXPECT_EQ(c.accepted ? c.root : HKEY_USERS, registry.GetRootKey()) << c.root;
    }
}

TEST_F(RegistryTest, OpenKeyMovesTheCurrentKeyOnlyOnSuccess) {
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Version", REG_SZ, L"3.0.0.0");
    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));

    EXPECT_TRUE(registry.OpenKey(kTestKey));
    EXPECT_EQ(kTestKey, registry.GetKeyPath());
    EXPECT_EQ(0, registry.GetLastError());

    // A missing key: false, the status kept, the previous key still in force.
    EXPECT_FALSE(registry.OpenKey(kMissingKey));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.GetLastError());
    EXPECT_EQ(kTestKey, registry.GetKeyPath());
    EXPECT_EQ(L"3.0.0.0", registry.ReadString(L"Version", L"none"));

    EXPECT_FALSE(registry.OpenKeyAsIs(kMissingKey));
    EXPECT_EQ(kTestKey, registry.GetKeyPath());

    // An empty path makes the root the current key.
    EXPECT_TRUE(registry.OpenKeyAsIs(L""));
    EXPECT_TRUE(registry.IsAtRoot());
    EXPECT_EQ(L"none", registry.ReadString(L"Version", L"none"));

    // Flushing after the open changes nothing about the outcome.
    registry.SetLazyFlush(false);
    EXPECT_TRUE(registry.OpenKeyAsIs(kTestKey));
    EXPECT_EQ(L"3.0.0.0", registry.ReadString(L"Version", L"none"));
}

TEST_F(RegistryTest, KeyExistsLooksBelowTheRoot) {
    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));  // not relative to the current key
    const struct {
        const wchar_t* path;
        bool exists;
    } cases[] = {{kTestKey, true}, {kMissingKey, false}, {L"Software\\UnPackFileTests", true}, {L"", true}, {L"NoSuch", false}};
    for (const auto& c : cases) EXPECT_EQ(c.exists, registry.KeyExists(c.path)) << std::wstring(c.path).size();
}

TEST_F(RegistryTest, ValueExistsAndQueryValueType) {
    DWORD dword = 7;
    unsigned long long qword = 7;
    PutDword(HKEY_LOCAL_MACHINE, kTestKey, L"Dword", dword);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Qword", REG_QWORD, &qword, sizeof(qword));
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Text", REG_SZ, L"a");
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Expand", REG_EXPAND_SZ, L"%TEMP%");
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Multi", REG_MULTI_SZ, L"a\0b\0", 10);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Binary", REG_BINARY, "\x01", 1);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Empty", REG_NONE, nullptr, 0);

    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    const struct {
        const wchar_t* name;
        DWORD type;
    } cases[] = {{L"Dword", REG_DWORD},      {L"Qword", REG_QWORD},   {L"Text", REG_SZ},   {L"Expand", REG_EXPAND_SZ},
                 {L"Multi", REG_MULTI_SZ},   {L"Binary", REG_BINARY}, {L"Empty", REG_NONE}, {L"Missing", 0}};
    for (const auto& c : cases) {
        std::wstring name = c.name;
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_EQ(c.type, registry.QueryValueType(c.name));
        // REG_NONE is 0 as well; the status tells it from a failure.
        EXPECT_EQ(c.type == 0 && name == L"Missing" ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS, registry.GetLastError());
        EXPECT_EQ(name != L"Missing", registry.ValueExists(c.name));
    }
}

TEST_F(RegistryTest, ReadDWORDReadsAnyValueOfAtMostFourBytes) {
    DWORD dword = 0x12345678;
    unsigned long long qword = 5;
    PutDword(HKEY_LOCAL_MACHINE, kTestKey, L"Dword", dword);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"BigEndian", REG_DWORD_BIG_ENDIAN, "\x01\x02\x03\x04", 4);
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"One", REG_SZ, L"1");  // 4 bytes with its zero
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Eleven", REG_SZ, L"11");  // 6 bytes
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Qword", REG_QWORD, &qword, sizeof(qword));
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"TwoBytes", REG_BINARY, "\x34\x12", 2);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"ThreeBytes", REG_BINARY, "\xFF\xFF\xFF", 3);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"NoBytes", REG_BINARY, nullptr, 0);

    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    const struct {
        const wchar_t* name;
        DWORD expected;
    } cases[] = {
        {L"Dword", 0x12345678},     {L"BigEndian", 0x04030201}, {L"One", 0x31},
        {L"Eleven", 0xDEFA17},      {L"Qword", 0xDEFA17},       {L"TwoBytes", 0x1234},  // the rest is zero
        {L"ThreeBytes", 0x00FFFFFF}, {L"NoBytes", 0},          {L"Missing", 0xDEFA17},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, registry.ReadDWORD(c.name, 0xDEFA17)) << c.expected;
}

TEST_F(RegistryTest, ReadStringReadsOnlyTextValues) {
    DWORD dword = 1;
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Text", REG_SZ, L"3.6.2.1");
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Expand", REG_EXPAND_SZ, L"%TEMP%\\x");
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Unterminated", REG_SZ, L"no zero", false);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"OddSize", REG_SZ, L"ab", 3);
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Empty", REG_SZ, L"");
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Inner", REG_SZ, std::wstring(L"a\0b", 3));
    PutDword(HKEY_LOCAL_MACHINE, kTestKey, L"Dword", dword);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Multi", REG_MULTI_SZ, L"a\0b\0", 10);
    PutValue(HKEY_LOCAL_MACHINE, kTestKey, L"Binary", REG_BINARY, "a\0", 2);

    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    const struct {
        const wchar_t* name;
        const wchar_t* expected;
        LONG status;
    } cases[] = {
        {L"Text", L"3.6.2.1", 0},
        {L"Expand", L"%TEMP%\\x", 0},  // not expanded
        {L"Unterminated", L"no zero", 0},
        {L"OddSize", L"a", 0},
        {L"Empty", L"", 0},  // present and empty: not the default
        {L"Inner", L"a", 0},
        {L"Dword", L"default", 0},
        {L"Multi", L"default", 0},
        {L"Binary", L"default", 0},
        {L"Missing", L"default", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        std::wstring name = c.name;
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_EQ(c.expected, registry.ReadString(c.name, L"default"));
        EXPECT_EQ(c.status, registry.GetLastError());
    }
}

TEST_F(RegistryTest, WritesAndDeletes) {
    for (bool lazy : {true, false}) {
        CRegistry registry;
        ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
        ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
        registry.SetLazyFlush(lazy);

        EXPECT_TRUE(registry.WriteString(L"InstallType", L"", REG_SZ));
        RawValue text = GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"InstallType");
        ASSERT_TRUE(text.exists);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), text.type);
        EXPECT_EQ(BytesOf(L""), text.bytes);  // the terminating zero alone

        EXPECT_TRUE(registry.WriteString(L"Path", L"%TEMP%\\a", REG_EXPAND_SZ));
        RawValue expand = GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"Path");
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), expand.type);
        EXPECT_EQ(BytesOf(L"%TEMP%\\a"), expand.bytes);

        EXPECT_TRUE(registry.WriteDWORD(L"AutoUpgradeManual", 1));
        RawValue dword = GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"AutoUpgradeManual");
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dword.type);
        EXPECT_EQ((std::vector<unsigned char>{1, 0, 0, 0}), dword.bytes);

        EXPECT_TRUE(registry.DeleteValue(L"AutoUpgradeManual"));
        EXPECT_FALSE(GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"AutoUpgradeManual").exists);
        EXPECT_FALSE(registry.DeleteValue(L"AutoUpgradeManual"));
        EXPECT_FALSE(registry.DeleteValue(L"NeverThere"));
    }
}

// The machine's values are those of the 32-bit host: both builds of the
// unpacker read and write the 32-bit view.
TEST_F(RegistryTest, MachineValuesLandInThe32BitView) {
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_AMD64) GTEST_SKIP() << "32-bit Windows: one view only";
    PutDword(HKEY_LOCAL_MACHINE, kTestKey, L"Marker", 1);

    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    EXPECT_TRUE(registry.WriteDWORD(L"View", 32));
    EXPECT_TRUE(GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"View", KEY_WOW64_32KEY).exists);
    EXPECT_FALSE(GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"View", KEY_WOW64_64KEY).exists);
}

// Only the x86-64 build names the 32-bit view; WOW64 gives it to the shipped build anyway.
TEST(RegistryAccess, OnlyTheX64BuildAddsTheViewBelowTheMachineRoot) {
    EXPECT_EQ(KEY_READ | (sizeof(void*) == 8 ? KEY_WOW64_32KEY : 0), AccessBelowRoot(HKEY_LOCAL_MACHINE, KEY_READ));
    EXPECT_EQ(REGSAM(KEY_ALL_ACCESS), AccessBelowRoot(HKEY_CURRENT_USER, KEY_ALL_ACCESS));
}

// The current key vanished behind the object's back: every value operation fails.
TEST_F(RegistryTest, EveryValueOperationFailsWhenTheCurrentKeyIsGone) {
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Version", REG_SZ, L"3.0.0.0");
    CRegistry registry;
    ASSERT_TRUE(registry.SetRootKey(HKEY_LOCAL_MACHINE));
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    ASSERT_TRUE(scenario::DeleteRegistryTree(HKEY_LOCAL_MACHINE, L"Software\\UnPackFileTests"));

    EXPECT_FALSE(registry.ValueExists(L"Version"));
    EXPECT_EQ(0u, registry.QueryValueType(L"Version"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.GetLastError());
    EXPECT_EQ(9u, registry.ReadDWORD(L"Version", 9));
    EXPECT_EQ(L"default", registry.ReadString(L"Version", L"default"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.GetLastError());
    EXPECT_FALSE(registry.WriteString(L"Version", L"x", REG_SZ));
    EXPECT_FALSE(registry.WriteDWORD(L"AutoUpgradeManual", 1));
    EXPECT_FALSE(registry.DeleteValue(L"Version"));
    // Nothing was created on the way.
    EXPECT_FALSE(registry.KeyExists(kTestKey));
}

// An empty key path addresses the root itself. The interactive user's hive is
// the test's own hive here, where a test-only value at its root is harmless.
TEST_F(RegistryTest, TheRootItselfWhenNoKeyIsOpen) {
    const wchar_t kRootValue[] = L"UnPackFileTestsRootValue";
    CRegistry registry;
    ASSERT_TRUE(registry.IsAtRoot());
    EXPECT_TRUE(registry.WriteDWORD(kRootValue, 0x55));
    RawValue raw = GetValue(HKEY_CURRENT_USER, L"", kRootValue);
    EXPECT_TRUE(raw.exists);
    EXPECT_TRUE(registry.ValueExists(kRootValue));
    EXPECT_EQ(0x55u, registry.ReadDWORD(kRootValue, 0));
    EXPECT_TRUE(registry.DeleteValue(kRootValue));
    EXPECT_FALSE(GetValue(HKEY_CURRENT_USER, L"", kRootValue).exists);
}

// HKEY_CURRENT_USER stands for the interactive user's hive. Under Wine the test
// is that user, so the values are those of its own HKEY_CURRENT_USER.
TEST_F(RegistryTest, CurrentUserIsTheInteractiveUsersHive) {
    PutText(HKEY_CURRENT_USER, kTestKey, L"Who", REG_SZ, L"user");
    PutText(HKEY_LOCAL_MACHINE, kTestKey, L"Who", REG_SZ, L"machine");
    CRegistry registry;
    ASSERT_TRUE(registry.OpenKeyAsIs(kTestKey));
    EXPECT_EQ(L"user", registry.ReadString(L"Who", L""));
    EXPECT_TRUE(registry.WriteDWORD(L"Written", 3));
    EXPECT_TRUE(GetValue(HKEY_CURRENT_USER, kTestKey, L"Written").exists);
    EXPECT_FALSE(GetValue(HKEY_LOCAL_MACHINE, kTestKey, L"Written").exists);
    // No impersonation outlives an operation.
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), ThreadTokenError());
}

TEST(ImpersonateUser, ImpersonatesForItsLifeOnly) {
    {
        CImpersonateUser user;
        // Wine hands every caller the session's token (Windows only the local
        // system account, or the shell's token to an administrator).
        ASSERT_TRUE(user.IsImpersonating());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ThreadTokenError());
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), ThreadTokenError());
}

}  // namespace
