// Two copies of the packaged unpacker started at the same moment: both are
// created suspended and then resumed back to back, so both reach the
// single-instance lock together. Exactly one upgrades; the other refuses with
// the text of string 129 and runs the fix-up; both end with 0.
#include "tests/harness/Scenario.h"
#include "tools/package/PackageWriter.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

using namespace scenario;

namespace {


// Created suspended with its own temporary folder, so that each copy writes its
// own unpack.log: two copies sharing one log may lose a line by design (a line
// whose open meets the other's is dropped), and this test must see every line.
struct SuspendedCopy {
    ChildProcess process;
    HANDLE thread = nullptr;
};

SuspendedCopy CreateSuspended(const std::wstring& exe, const std::wstring& tempFolder) {
    SuspendedCopy copy;
    std::wstring commandLine = BuildCommandLine(exe, {L"/S"});
    // The child takes a snapshot of our environment at creation.
    SetEnvironmentVariableW(L"TMP", tempFolder.c_str());
    SetEnvironmentVariableW(L"TEMP", tempFolder.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                       &startup, &info)) {
        copy.process = ChildProcess(info.hProcess, info.dwProcessId);
        copy.thread = info.hThread;
    }
    return copy;
}

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t value[MAX_PATH] = {};
        GetEnvironmentVariableW(L"TMP", value, MAX_PATH);
        savedTmp_ = value;
        value[0] = L'\0';
        GetEnvironmentVariableW(L"TEMP", value, MAX_PATH);
        savedTemp_ = value;
        ResetWorld();
    }
    void TearDown() override {
        RestoreTemp();
        ResetWorld();
    }
    void RestoreTemp() {
        SetEnvironmentVariableW(L"TMP", savedTmp_.empty() ? nullptr : savedTmp_.c_str());
        SetEnvironmentVariableW(L"TEMP", savedTemp_.empty() ? nullptr : savedTemp_.c_str());
    }
    static void ResetWorld() { ResetUpgradeWorld(); }
    static std::wstring Deliver(const std::wstring& root) { return DeliverPackage(root, CabinetPath(L"host.cab")); }

    std::wstring savedTmp_;
    std::wstring savedTemp_;
};

TEST_F(ConcurrencyTest, TwoCopiesStartedTogetherUpgradeOnce) {
    struct Round {
        const char* what;
        bool sameFile;
    };
    const Round rounds[] = {{"two folders", false}, {"the same file twice", true}, {"two folders again", false},
                            {"two folders, third time", false}};
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.what);
        ResetWorld();
        std::wstring root = ScratchFolder(L"concurrency");
        std::wstring exeA = Deliver(root + L"\\a");
        std::wstring exeB = round.sameFile ? exeA : Deliver(root + L"\\b");
        std::wstring tempA = root + L"\\temp-a";
        std::wstring tempB = root + L"\\temp-b";
        ASSERT_TRUE(CreateFolders(tempA));
        ASSERT_TRUE(CreateFolders(tempB));
        ASSERT_TRUE(SetHklmString(kHostKey, L"Version", L"3.5.0.0"));
        ASSERT_TRUE(SetHklmString(kPlvaProduct, L"InstallType", L"Silent"));
        std::wstring calls = root + L"\\calls.txt";
        SetEnvironmentVariableW(L"FAKEHOST_LOG", calls.c_str());

        SuspendedCopy first = CreateSuspended(exeA, tempA);
        SuspendedCopy second = CreateSuspended(exeB, tempB);
        RestoreTemp();
        ASSERT_TRUE(first.process.IsValid());
        ASSERT_TRUE(second.process.IsValid());
        ResumeThread(first.thread);
        ResumeThread(second.thread);
        CloseHandle(first.thread);
        CloseHandle(second.thread);

        DWORD codeA = 99, codeB = 99;
        ASSERT_TRUE(first.process.WaitForEnd(180000, &codeA));
        ASSERT_TRUE(second.process.WaitForEnd(180000, &codeB));
        EXPECT_EQ(0u, codeA);
        EXPECT_EQ(0u, codeB);

        std::vector<LogLine> logs[2] = {ParseLog(ReadFileBytes(tempA + L"\\unpack.log")),
                                        ParseLog(ReadFileBytes(tempB + L"\\unpack.log"))};
        const std::wstring start = std::wstring(kCaller) + L"upgrade start by auto";
        const std::wstring refused = std::wstring(kCaller) + L"upgrade skip " + kAnotherInstallation;
        int winners = 0;
        for (const std::vector<LogLine>& log : logs) {
            SCOPED_TRACE(DescribeLog(log));
            ASSERT_FALSE(log.empty());
            if (CountLines(log, start) == 1) {
                ++winners;
                EXPECT_EQ(0, CountLines(log, refused));
                EXPECT_EQ(1, CountLines(log, L"[CUnPack::UnPackFiles] UnPack total 1 files."));
                for (const LogLine& line : log)
                    EXPECT_NE(0u, line.message.find(std::wstring(kCaller) + L"upgrade skip"));
            } else {
                EXPECT_EQ(0, CountLines(log, start));
                // The lock is checked before anything else is read or done.
                EXPECT_EQ(refused, log.front().message);
                EXPECT_EQ(1, CountLines(log, refused));
                EXPECT_EQ(1, CountLines(log, L"[CUnPackFileApp::HackForNDUSilentInstallFail] upgrade skip, hack platform PLVA00"));
                EXPECT_EQ(L"[CUnPackFileApp::HackForNDUSilentInstallFail] autoinstaller prepare to exit",
                          log.back().message);
            }
        }
        EXPECT_EQ(1, winners);

        // The host's installer ran once with each switch, in the unpack folder.
        std::vector<unsigned char> callBytes = ReadFileBytes(calls);
        std::string folder = Narrow(UnpackFolder());
        folder.pop_back();
        EXPECT_EQ("-i|" + folder + "\r\n-r|" + folder + "\r\n", std::string(callBytes.begin(), callBytes.end()));
        EXPECT_TRUE(PathExists(UnpackFolder() + L"VYAuto.exe"));

        // Only the refusing copy's fix-up empties the updater's value.
        std::wstring installType = L"unread";
        EXPECT_TRUE(ReadHklmString(kPlvaProduct, L"InstallType", installType));
        EXPECT_EQ(L"", installType);

        // Both delivery folders go, each copy removing its own.
        EXPECT_TRUE(WaitUntilGone(root + L"\\a\\mox\\download", 30000));
        if (!round.sameFile) {
            EXPECT_TRUE(WaitUntilGone(root + L"\\b\\mox\\download", 30000));
        }
    }
}

}  // namespace
