// Libraries planted beside the unpacker under the names of system libraries are
// never loaded: the system's copies are loaded by full path before anything
// else, and the libraries the program uses are not bound by the loader.
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>

#include <string>

using namespace scenario;

namespace {


// Per-program DLL overrides of Wine (HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides).
void SetNativeFirst(const std::wstring& exe, bool on) {
    std::wstring key = L"Software\\Wine\\AppDefaults\\" + exe + L"\\DllOverrides";
    if (!on) {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        return;
    }
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) != 0) return;
    for (const wchar_t* name : {L"wtsapi32", L"winspool.drv"}) {
        const wchar_t value[] = L"native,builtin";
        RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
    }
    RegCloseKey(handle);
}

class PlantedLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = ScratchFolder(L"planted");
        marker_ = folder_ + L"\\loaded.txt";
        // version.dll is not planted: Wine's own shell32 imports it, so with the
        // native-first order below Wine's loader would take a planted copy while
        // resolving shell32, before any code of the program runs.
        for (const wchar_t* name : {L"wtsapi32.dll", L"winspool.drv"})
            ASSERT_TRUE(CopyFileTo(WindowsPathOf(UNPACK_PLANTED_DIR) + L"\\" + name, folder_ + L"\\" + name));
        SetEnvironmentVariableW(L"UNPACK_TEST_PLANT_MARKER", marker_.c_str());
        // Wine prefers its own builtin copies of system libraries; native-first
        // makes it search the application's folder first, as Windows does for
        // libraries that are not "known DLLs".
        for (const wchar_t* exe : {L"loadbyname.exe", L"UnPackFile.exe"}) SetNativeFirst(exe, true);
        ResetLog();
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"UNPACK_TEST_PLANT_MARKER", nullptr);
        for (const wchar_t* exe : {L"loadbyname.exe", L"UnPackFile.exe"}) SetNativeFirst(exe, false);
        DeleteHklmTree(kHostKey);
        ResetLog();
    }
    std::wstring folder_;
    std::wstring marker_;
};

// The control: a program that asks for the library by name gets the planted one.
TEST_F(PlantedLibraryTest, ProgramAskingByNameWouldLoadIt) {
    ASSERT_TRUE(CopyFileTo(FixturePath(L"loadbyname.exe"), folder_ + L"\\loadbyname.exe"));
    RunOptions options;
    options.exe = folder_ + L"\\loadbyname.exe";
    options.args = {L"wtsapi32.dll"};
    RunResult result = scenario::Run(options);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(PathExists(marker_));
}

// The unpacker beside the same libraries runs without loading either of them:
// wtsapi32.dll is bound at first use from the system folder, not imported.
TEST_F(PlantedLibraryTest, UnpackerNeverLoadsThem) {
    std::wstring own = ProductVersionOf(ProductExe());
    ASSERT_FALSE(own.empty());
    ASSERT_TRUE(SetHklmString(kHostKey, L"Version", own));
    ASSERT_TRUE(CopyFileTo(ProductExe(), folder_ + L"\\UnPackFile.exe"));
    RunOptions options;
    options.exe = folder_ + L"\\UnPackFile.exe";
    options.args = {L"/S"};
    RunResult result = scenario::Run(options);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    bool refused = false;
    for (const LogLine& line : result.log)
        if (line.message == L"[CUnPackFileApp::InitInstance] upgrade skip " + own + L" less than " + own) refused = true;
    EXPECT_TRUE(refused) << "the unpacker did not read its own version";
    EXPECT_FALSE(PathExists(marker_)) << "a planted library was loaded";
}

}  // namespace
