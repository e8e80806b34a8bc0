// The path token and the server-mode decision, row by row, with the values in
// the machine's 32-bit view and in the interactive user's hive (under Wine the
// test itself is that user). The host keys have fixed names: whatever the
// machine held below "Software\Kestrune Inc." is saved first and put back after.
#include "framework/Handle.h"
#include "registry/Registry.h"
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kMaker[] = L"Software\\Kestrune Inc.";
const wchar_t kBackup[] = L"Software\\UnPackFileTests\\ServerModeBackup";

bool KeyPresent(HKEY root, const wchar_t* path) {
    ScopedRegKey key;
    return ::RegOpenKeyExW(root, path, 0, KEY_READ | scenario::HostView(root), key.Receive()) == ERROR_SUCCESS;
}

void CopyTree(HKEY root, const wchar_t* from, const wchar_t* to) {
    ScopedRegKey source, target;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(root, from, 0, KEY_READ | scenario::HostView(root), source.Receive()));
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, to, 0, nullptr, 0, KEY_ALL_ACCESS | scenario::HostView(root), nullptr, target.Receive(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegCopyTreeW(source.Get(), nullptr, target.Get()));
}

void PutDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD value) {
    ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | scenario::HostView(root), nullptr, key.Receive(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

void PutRaw(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | scenario::HostView(root), nullptr, key.Receive(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void CreateKey(HKEY root, const wchar_t* path) {
    ScopedRegKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | scenario::HostView(root), nullptr, key.Receive(), nullptr));
}

class ServerModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            scenario::DeleteRegistryTree(root, kBackup);
            if (KeyPresent(root, kMaker)) {
                CopyTree(root, kMaker, kBackup);
                ASSERT_TRUE(scenario::DeleteRegistryTree(root, kMaker));
            }
        }
        ClearHostKeys();
    }
    void TearDown() override {
        ClearHostKeys();
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            if (KeyPresent(root, kBackup)) {
                CopyTree(root, kBackup, kMaker);
                scenario::DeleteRegistryTree(root, kBackup);
            }
            ::RegDeleteKeyExW(root, L"Software\\UnPackFileTests", scenario::HostView(root), 0);  // only when empty
        }
    }
    static void ClearHostKeys() {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) scenario::DeleteRegistryTree(root, kMaker);
    }
};

// absent: the value (or key) is not written; the numbers are REG_DWORD values.
constexpr int kAbsent = -1;

struct DecisionRow {
    const char* what;
    int machineType;        // "MOXBasedType" in the machine's standard key
    int machineMode;        // "VYServerMode" in the machine's standard key
    bool userKey;           // the user's standard key exists
    int userMode;           // "VYServerMode" in the user's standard key
    bool business;          // expected: the key for business use
};

TEST_F(ServerModeTest, DecisionTable) {
    const DecisionRow rows[] = {
        {"no host keys at all", kAbsent, kAbsent, false, kAbsent, false},
        {"machine key without values", kAbsent, kAbsent, false, kAbsent, false},
        {"type absent, machine business", kAbsent, 1, true, 0, true},
        {"type absent, machine standard, user business ignored", kAbsent, 0, true, 1, false},
        {"type 1, machine business, user standard ignored", 1, 1, true, 0, true},
        {"type 1, machine standard, user business ignored", 1, 0, true, 1, false},
        {"type 1, machine mode 2", 1, 2, false, kAbsent, false},
        {"type 0, no user key, machine business", 0, 1, false, kAbsent, true},
        {"type 0, no user key, machine standard", 0, kAbsent, false, kAbsent, false},
        {"type 0, user business", 0, kAbsent, true, 1, true},
        {"type 0, user business beats machine standard", 0, 0, true, 1, true},
        {"type 0, user standard beats machine business", 0, 1, true, 0, false},
        {"type 0, user mode 2 is standard", 0, 1, true, 2, false},
        {"type 0, user key without mode, machine business", 0, 1, true, kAbsent, true},
        {"type 0, user key without mode, machine standard", 0, 0, true, kAbsent, false},
        {"type 0, user key without mode, machine without mode", 0, kAbsent, true, kAbsent, false},
        {"type 2 counts as per-user", 2, 0, true, 1, true},
    };
    for (const DecisionRow& row : rows) {
        SCOPED_TRACE(row.what);
        ClearHostKeys();
        if (row.what != std::string("no host keys at all")) CreateKey(HKEY_LOCAL_MACHINE, kHostSettingsKey);
        if (row.machineType != kAbsent) PutDword(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"MOXBasedType", row.machineType);
        if (row.machineMode != kAbsent) PutDword(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"VYServerMode", row.machineMode);
        if (row.userKey) CreateKey(HKEY_CURRENT_USER, kHostSettingsKey);
        if (row.userMode != kAbsent) PutDword(HKEY_CURRENT_USER, kHostSettingsKey, L"VYServerMode", row.userMode);

        EXPECT_EQ(row.business ? kHostSettingsKeyBusiness : kHostSettingsKey,
                  ConvertUniversalPath(kUniversalPathToken));
    }
}

// The values are read as four bytes whatever their type: a REG_SZ "1" is 0x31,
// so it does not mean 1.
TEST_F(ServerModeTest, ValuesAreReadAsRawDwords) {
    PutRaw(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"MOXBasedType", REG_SZ, L"1", 4);
    PutDword(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"VYServerMode", 0);
    PutDword(HKEY_CURRENT_USER, kHostSettingsKey, L"VYServerMode", 1);
    EXPECT_EQ(kHostSettingsKeyBusiness, ConvertUniversalPath(kUniversalPathToken)) << "per-user: 0x31 is not 1";

    PutRaw(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"MOXBasedType", REG_BINARY, "\x01", 1);
    EXPECT_EQ(kHostSettingsKey, ConvertUniversalPath(kUniversalPathToken)) << "one byte 01 is 1";

    PutRaw(HKEY_CURRENT_USER, kHostSettingsKey, L"VYServerMode", REG_BINARY, "\x01", 1);
    PutRaw(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"MOXBasedType", REG_BINARY, "\x00", 1);
    EXPECT_EQ(kHostSettingsKeyBusiness, ConvertUniversalPath(kUniversalPathToken));

    // Too long for four bytes: the defaults (type 1, machine mode 0).
    unsigned long long wide = 0;
    PutRaw(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"MOXBasedType", REG_QWORD, &wide, sizeof(wide));
    EXPECT_EQ(kHostSettingsKey, ConvertUniversalPath(kUniversalPathToken));
}

// Without the machine's standard key there is no machine-wide type to read: the
// value at the root of HKEY_LOCAL_MACHINE is not the host's and does not count.
TEST_F(ServerModeTest, ATypeAtTheRootOfTheMachineIsNotTheHosts) {
    PutDword(HKEY_LOCAL_MACHINE, L"", L"MOXBasedType", 0);
    PutDword(HKEY_CURRENT_USER, kHostSettingsKey, L"VYServerMode", 1);
    std::wstring result = ConvertUniversalPath(kUniversalPathToken);
    ::RegDeleteValueW(HKEY_LOCAL_MACHINE, L"MOXBasedType");
    EXPECT_EQ(kHostSettingsKey, result);
}

TEST_F(ServerModeTest, TheTokenIgnoresCaseAndOtherPathsStay) {
    PutDword(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"VYServerMode", 1);
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } cases[] = {
        {L"UNIVERSAL_PATH_CONVERT", kHostSettingsKeyBusiness},
        {L"universal_path_convert", kHostSettingsKeyBusiness},
        {L"Universal_Path_Convert", kHostSettingsKeyBusiness},
        {L"", L""},
        {L" UNIVERSAL_PATH_CONVERT", L" UNIVERSAL_PATH_CONVERT"},
        {L"UNIVERSAL_PATH_CONVERT\\Sub", L"UNIVERSAL_PATH_CONVERT\\Sub"},
        {L"UNIVERSAL_PATH", L"UNIVERSAL_PATH"},
        {L"Software\\Kestrune Inc.\\Kestrune Remote Server", L"Software\\Kestrune Inc.\\Kestrune Remote Server"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, ConvertUniversalPath(c.path));
}

// The driver's use: the token opened below HKEY_LOCAL_MACHINE.
TEST_F(ServerModeTest, OpenKeyWithTheTokenOpensTheChosenKey) {
    PutDword(HKEY_LOCAL_MACHINE, kHostSettingsKey, L"MOXBasedType", 0);
    PutDword(HKEY_CURRENT_USER, kHostSettingsKey, L"VYServerMode", 1);
    CRegistry hostSettings;
    ASSERT_TRUE(hostSettings.SetRootKey(HKEY_LOCAL_MACHINE));
    // The business key is missing below the machine: the open fails at the root.
    EXPECT_FALSE(hostSettings.OpenKey(kUniversalPathToken));
    EXPECT_TRUE(hostSettings.IsAtRoot());

    CreateKey(HKEY_LOCAL_MACHINE, kHostSettingsKeyBusiness);
    EXPECT_TRUE(hostSettings.OpenKey(L"universal_path_convert"));
    EXPECT_EQ(kHostSettingsKeyBusiness, hostSettings.GetKeyPath());
}

}  // namespace
