// The test bench itself: the stand-ins for the system programs that Wine lacks
// (expand.exe, timeout.exe), the sleeper that plays the host's programs, and the
// harness's own promises (time limits, command lines, log parsing, registry).
// The scenario tests rely on all of these.
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

using namespace scenario;

// The 64-bit interpreter, which the unpacker starts: reached through
// "sysnative" from a 32-bit process, from system32 by a 64-bit one.
std::wstring NativeCmd() {
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    return wow64 ? L"C:\\windows\\sysnative\\cmd.exe" : L"C:\\windows\\system32\\cmd.exe";
}
const std::wstring kNativeCmd = NativeCmd();
// The 32-bit interpreter, named by its real folder so that either kind of
// process reaches it.
const std::wstring kWowCmd = L"C:\\windows\\syswow64\\cmd.exe";

// Both interpreters where 32-bit programs run; the 64-bit one alone where the
// prefix has no 32-bit half (a host without IA-32 emulation).
std::vector<std::wstring> Interpreters() {
    std::vector<std::wstring> interpreters = {kNativeCmd};
    if (scenario::PathExists(kWowCmd)) interpreters.push_back(kWowCmd);
    return interpreters;
}

struct CommandResult {
    bool finished = false;
    DWORD exitCode = 0;
    ULONGLONG elapsedMs = 0;
    DWORD startError = 0;  // why the interpreter did not start; 0 when it did
};

CommandResult RunCmd(const std::wstring& interpreter, std::vector<std::wstring> arguments, const std::wstring& folder,
                     DWORD limitMs = 30000) {
    arguments.insert(arguments.begin(), L"/c");
    ULONGLONG start = ::GetTickCount64();
    ChildProcess process = scenario::StartProcess(interpreter, arguments, folder);
    CommandResult result;
    if (!process.IsValid()) {
        result.startError = ::GetLastError();
        ADD_FAILURE() << "the interpreter did not start (error " << result.startError << ")";
        return result;
    }
    result.finished = process.WaitForEnd(limitMs, &result.exitCode);
    result.elapsedMs = ::GetTickCount64() - start;
    return result;
}

std::string ReadText(const std::wstring& path) {
    std::vector<unsigned char> bytes = scenario::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = scenario::ScratchFolder(L"testbench");
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override { scenario::RemoveTree(folder_); }

    void Put(const std::wstring& cabinet, const std::wstring& as = std::wstring()) {
        ASSERT_TRUE(scenario::CopyFileTo(scenario::CabinetPath(cabinet), folder_ + L"\\" + (as.empty() ? cabinet : as)));
    }
    // The upgrade's own expansion command, through the given interpreter.
    CommandResult ExpandAll(const std::wstring& interpreter = kNativeCmd, const std::wstring& filter = L"*") {
        return RunCmd(interpreter, {L"expand.exe", L"*.cab", L"/f:" + filter, L".\\", L">>", L"aucab.txt"}, folder_);
    }
    void ExpectSameAsOriginal(const std::wstring& relative) {
        SCOPED_TRACE(std::string(relative.begin(), relative.end()));
        std::vector<unsigned char> original = scenario::ReadFileBytes(scenario::CabinetPath(L"tree\\" + relative));
        ASSERT_FALSE(original.empty());
        EXPECT_EQ(scenario::ReadFileBytes(folder_ + L"\\" + relative), original);
    }

    std::wstring folder_;
};

TEST_F(StandInTest, ExpandsGcabCabinetsByteForByteWithSubfolders) {
    for (const std::wstring& interpreter : Interpreters()) {
        for (const wchar_t* cabinet : {L"tree.cab", L"tree-compressed.cab"}) {
            SCOPED_TRACE(std::string("cabinet ") + std::string(cabinet, cabinet + wcslen(cabinet)) +
                         (interpreter == kNativeCmd ? " via the 64-bit cmd" : " via the 32-bit cmd"));
            scenario::RemoveTree(folder_);
            scenario::CreateFolders(folder_);
            Put(cabinet);
            CommandResult result = ExpandAll(interpreter);
            ASSERT_TRUE(result.finished);
            EXPECT_EQ(result.exitCode, 0u) << ReadText(folder_ + L"\\aucab.txt");
            ExpectSameAsOriginal(L"top.txt");
            ExpectSameAsOriginal(L"sub\\deeper\\nested.txt");
            ExpectSameAsOriginal(L"sub\\big.bin");
            std::string output = ReadText(folder_ + L"\\aucab.txt");
            EXPECT_NE(output.find("Adding .\\top.txt to Extraction Queue"), std::string::npos) << output;
            EXPECT_NE(output.find("Adding .\\sub\\deeper\\nested.txt to Extraction Queue"), std::string::npos) << output;
            EXPECT_NE(output.find("3 files total."), std::string::npos) << output;
        }
    }
}

TEST_F(StandInTest, ExpandsEveryCabinetOfTheFolder) {
    Put(L"tree-compressed.cab");
    Put(L"host.cab");
    CommandResult result = ExpandAll();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u) << ReadText(folder_ + L"\\aucab.txt");
    ExpectSameAsOriginal(L"sub\\big.bin");
    EXPECT_TRUE(scenario::PathExists(folder_ + L"\\VYAuto.exe"));
    EXPECT_TRUE(scenario::PathExists(folder_ + L"\\hostdata.txt"));
}

TEST_F(StandInTest, FilterSelectsFiles) {
    Put(L"tree.cab");
    CommandResult result = ExpandAll(kNativeCmd, L"*.txt");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    ExpectSameAsOriginal(L"top.txt");
    ExpectSameAsOriginal(L"sub\\deeper\\nested.txt");
    EXPECT_FALSE(scenario::PathExists(folder_ + L"\\sub\\big.bin"));
}

TEST_F(StandInTest, ExpandFailsWithoutCabinetOrOnADamagedOne) {
    {
        SCOPED_TRACE("no cabinet in the folder");
        CommandResult result = ExpandAll();
        ASSERT_TRUE(result.finished);
        EXPECT_NE(result.exitCode, 0u);
    }
    std::vector<unsigned char> good = scenario::ReadFileBytes(scenario::CabinetPath(L"tree-compressed.cab"));
    ASSERT_GT(good.size(), 400u);
    struct Damage {
        const char* name;
        std::vector<unsigned char> bytes;
    };
    std::vector<unsigned char> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
    // One changed byte inside a data block: whether or not the data still
    // decompresses, the block's checksum no longer matches.
    std::vector<unsigned char> flipped = good;
    flipped[good.size() / 2] ^= 0x55;
    const std::string text = "this is not a cabinet\r\n";
    const Damage damages[] = {
        {"cut in half", cut},
        {"a byte changed in the data", flipped},
        {"not a cabinet at all", std::vector<unsigned char>(text.begin(), text.end())},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        scenario::RemoveTree(folder_);
        scenario::CreateFolders(folder_);
        ASSERT_TRUE(scenario::WriteFileBytes(folder_ + L"\\broken.cab", damage.bytes));
        CommandResult result = ExpandAll();
        ASSERT_TRUE(result.finished);
        EXPECT_NE(result.exitCode, 0u) << ReadText(folder_ + L"\\aucab.txt");
    }
}

TEST_F(StandInTest, PlainFormExpandsOrCopies) {
    Put(L"tree.cab");
    ASSERT_TRUE(scenario::WriteTextFile(folder_ + L"\\plain.txt", "plain\r\n"));
    ASSERT_TRUE(scenario::CreateFolders(folder_ + L"\\into"));

    CommandResult copy = RunCmd(kNativeCmd, {L"expand.exe", L"plain.txt", L"copy.txt"}, folder_);
    ASSERT_TRUE(copy.finished);
    EXPECT_EQ(copy.exitCode, 0u);
    EXPECT_EQ(ReadText(folder_ + L"\\copy.txt"), "plain\r\n");

    CommandResult into = RunCmd(kNativeCmd, {L"expand.exe", L"tree.cab", L"into"}, folder_);
    ASSERT_TRUE(into.finished);
    EXPECT_EQ(into.exitCode, 0u);
    EXPECT_EQ(scenario::ReadFileBytes(folder_ + L"\\into\\sub\\big.bin"),
              scenario::ReadFileBytes(scenario::CabinetPath(L"tree\\sub\\big.bin")));

    // Several files cannot go into one destination file.
    CommandResult many = RunCmd(kNativeCmd, {L"expand.exe", L"tree.cab", L"one.txt"}, folder_);
    ASSERT_TRUE(many.finished);
    EXPECT_NE(many.exitCode, 0u);
}

TEST_F(StandInTest, TimeoutWaitsTheSecondsGivenAndSucceeds) {
    for (const std::wstring& interpreter : Interpreters()) {
        SCOPED_TRACE(interpreter == kNativeCmd ? "64-bit cmd" : "32-bit cmd");
        CommandResult result = RunCmd(interpreter, {L"timeout", L"/t", L"1", L"/nobreak"}, folder_);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_GE(result.elapsedMs, 950u);
        EXPECT_LT(result.elapsedMs, 10000u);
    }
    CommandResult zero = RunCmd(kNativeCmd, {L"timeout", L"/t", L"0"}, folder_);
    ASSERT_TRUE(zero.finished);
    EXPECT_EQ(zero.exitCode, 0u);
    CommandResult bad = RunCmd(kNativeCmd, {L"timeout", L"/t", L"soon"}, folder_);
    ASSERT_TRUE(bad.finished);
    EXPECT_NE(bad.exitCode, 0u);
    // The rest of the line runs after the wait, as the delayed cleanup relies on.
    CommandResult chained = RunCmd(kNativeCmd, {L"timeout", L"/t", L"1", L"&", L"echo", L"after>after.txt"}, folder_);
    ASSERT_TRUE(chained.finished);
    EXPECT_GE(chained.elapsedMs, 950u);
    EXPECT_EQ(ReadText(folder_ + L"\\after.txt"), "after\r\n");
}

TEST_F(StandInTest, SleeperRunsUnderTheHostsNamesUntilStopped) {
    ChildProcess host = scenario::StartSleeperAs(folder_, L"VYAuto.exe");
    ChildProcess messenger = scenario::StartSleeperAs(folder_, L"VYMsg.exe");
    ASSERT_TRUE(host.IsValid());
    ASSERT_TRUE(messenger.IsValid());
    EXPECT_FALSE(host.WaitForEnd(300));
    std::vector<DWORD> ids = scenario::FindProcessesByName(L"VYAuto.exe");
    EXPECT_NE(std::find(ids.begin(), ids.end(), host.Id()), ids.end());
    ids = scenario::FindProcessesByName(L"vymsg.EXE");
    EXPECT_NE(std::find(ids.begin(), ids.end(), messenger.Id()), ids.end());
    host.Kill();
    messenger.Kill();
    EXPECT_TRUE(scenario::FindProcessesByName(L"VYAuto.exe").empty());

    ChildProcess brief = scenario::StartSleeperAs(folder_, L"VYAuto.exe", 0);
    DWORD code = 99;
    ASSERT_TRUE(brief.WaitForEnd(10000, &code));
    EXPECT_EQ(code, 0u);
}

// ---- The harness's own promises ---------------------------------------------------

TEST(HarnessTest, RunEndsAProgramAtItsTimeLimit) {
    scenario::RunOptions options;
    options.exe = scenario::FixturePath(L"sleeper.exe");
    options.args = {L"60"};
    options.timeoutMs = 1000;
    ULONGLONG start = ::GetTickCount64();
    scenario::RunResult result = scenario::Run(options);
    EXPECT_FALSE(result.finished);
    EXPECT_LT(::GetTickCount64() - start, 15000u);
    EXPECT_TRUE(scenario::FindProcessesByName(L"sleeper.exe").empty());
}

TEST(HarnessTest, RunReportsTheExitCode) {
    scenario::RunOptions options;
    options.exe = kNativeCmd;
    options.args = {L"/c", L"exit", L"7"};
    scenario::RunResult result = scenario::Run(options);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 7u);
    EXPECT_TRUE(result.boxes.empty());
}

TEST(HarnessTest, CommandLinesRoundTrip) {
    const std::vector<std::vector<std::wstring>> rows = {
        {L"/S"},
        {L"a b", L"c"},
        {L""},
        {L"trailing\\"},
        {L"with space\\"},
        {L"quote\"inside", L"back\\\\\"slash"},
        {L"C:\\Program Files (x86)\\x", L"-s"},
    };
    const std::wstring exe = L"C:\\some folder\\prog.exe";
    for (const std::vector<std::wstring>& args : rows) {
        std::wstring line = scenario::BuildCommandLine(exe, args);
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        int count = 0;
        LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &count);
        ASSERT_NE(argv, nullptr);
        std::vector<std::wstring> parsed(argv, argv + count);
        ::LocalFree(argv);
        std::vector<std::wstring> expected = {exe};
        expected.insert(expected.end(), args.begin(), args.end());
        EXPECT_EQ(parsed, expected);
    }
    EXPECT_EQ(scenario::BuildCommandLine(exe, {L"x"}, L"s"), L"s x");
}

TEST(HarnessTest, ParsesLogLines) {
    std::wstring text =
        L"[2412]2026-12-08 01:43:13  [CUnPackFileApp::InitInstance] upgrade start by manual (Last=0)\r\n"
        L"[7]  no time here (Last=-2147024891)\r\n"
        L"[9]2026-12-08 01:43:14   (Last=5)\r\n"
        L"[1]2026-12-08 01:43:15  cut off";
    std::vector<unsigned char> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    std::vector<scenario::LogLine> lines = scenario::ParseLog(bytes);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].processId, 2412u);
    EXPECT_EQ(lines[0].time, L"2026-12-08 01:43:13");
    EXPECT_EQ(lines[0].message, L"[CUnPackFileApp::InitInstance] upgrade start by manual");
    EXPECT_EQ(lines[0].lastError, 0);
    EXPECT_EQ(lines[1].time, L"");
    EXPECT_EQ(lines[1].message, L"no time here");
    EXPECT_EQ(lines[1].lastError, static_cast<int>(0x80070005u));
    EXPECT_EQ(lines[2].message, L"");
    EXPECT_EQ(lines[2].lastError, 5);
    EXPECT_EQ(lines[3].raw, L"[1]2026-12-08 01:43:15  cut off");
}

TEST(HarnessTest, RegistryHelpersUseThe32BitView) {
    const std::wstring key = L"Software\\UnPackFile Test Bench\\Inner";
    ASSERT_TRUE(scenario::DeleteHklmTree(L"Software\\UnPackFile Test Bench"));
    EXPECT_FALSE(scenario::HklmKeyExists(key));
    ASSERT_TRUE(scenario::SetHklmString(key, L"Text", L"value"));
    ASSERT_TRUE(scenario::SetHklmDword(key, L"Number", 0x80000001u));
    std::wstring text;
    DWORD type = 0;
    ASSERT_TRUE(scenario::ReadHklmString(key, L"Text", text, &type));
    EXPECT_EQ(text, L"value");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    DWORD number = 0;
    ASSERT_TRUE(scenario::ReadHklmDword(key, L"Number", number));
    EXPECT_EQ(number, 0x80000001u);
    // The value sits below Wow6432Node when seen from the 64-bit view.
    HKEY wow = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Wow6432Node\\UnPackFile Test Bench\\Inner"), 0,
                              KEY_READ | KEY_WOW64_64KEY, &wow),
              ERROR_SUCCESS);
    ::RegCloseKey(wow);
    EXPECT_TRUE(scenario::DeleteHklmValue(key, L"Text"));
    EXPECT_FALSE(scenario::HklmValueExists(key, L"Text"));
    EXPECT_TRUE(scenario::DeleteHklmValue(key, L"Text"));  // already gone
    EXPECT_TRUE(scenario::DeleteHklmTree(L"Software\\UnPackFile Test Bench"));
    EXPECT_FALSE(scenario::HklmKeyExists(key));
}

TEST(HarnessTest, WindowsVersionOverrideIsSetAndRemoved) {
    const std::wstring key = L"Software\\Wine\\AppDefaults\\upf-probe.exe";
    ASSERT_TRUE(scenario::SetWindowsVersionFor(L"upf-probe.exe", L"vista"));
    HKEY handle = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle), ERROR_SUCCESS);
    wchar_t value[32] = {};
    DWORD size = sizeof(value);
    EXPECT_EQ(::RegQueryValueExW(handle, L"Version", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size),
              ERROR_SUCCESS);
    ::RegCloseKey(handle);
    EXPECT_STREQ(value, L"vista");
    EXPECT_TRUE(scenario::SetWindowsVersionFor(L"upf-probe.exe", L""));
    EXPECT_NE(::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle), ERROR_SUCCESS);
}

TEST(HarnessTest, HeldMutexMakesTheSecondCreatorSeeIt) {
    scenario::HeldMutex lock;
    ASSERT_TRUE(lock.IsHeld());
    HANDLE second = ::CreateMutexW(nullptr, FALSE, scenario::kUnpackerMutexName);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ::CloseHandle(second);
}

}  // namespace
