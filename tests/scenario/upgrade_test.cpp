// The whole upgrade, end to end: a packaged UnPackFile.exe delivered in a
// mox\<download>\data layout, an older host in the registry, host programs
// running, and the installation commands run through the interpreter with the
// fake host installer that the cabinet carries.
#include "tests/harness/Scenario.h"
#include "tools/package/PackageWriter.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

using namespace scenario;

namespace {


class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override { ResetWorld(); }
    static void ResetWorld() { ResetUpgradeWorld(); }
    static std::wstring Deliver(const std::wstring& root, const std::wstring& cabinet) {
        return DeliverPackage(root, cabinet);
    }

    void InstallHost(const wchar_t* version) { ASSERT_TRUE(SetHklmString(kHostKey, L"Version", version)); }
};

// A successful upgrade in either mode: no box, the host's programs stopped, the
// cabinet expanded, the fake installer called with -i then -r in the unpack
// folder, the host's logs carried on, and the download folder removed after the
// program has ended.
TEST_F(UpgradeTest, SucceedsInManualAndAutoMode) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        ResetWorld();
        std::wstring root = ScratchFolder(L"upgrade-success");
        std::wstring exe = Deliver(root, CabinetPath(L"host-compressed.cab"));
        InstallHost(L"3.5.0.0");
        ASSERT_TRUE(SetHklmString(kPlvaProduct, L"InstallType", L"Silent"));

        // The previous upgrade's folder, with the host's cumulative logs.
        ASSERT_TRUE(CreateFolders(UnpackFolder()));
        ASSERT_TRUE(WriteTextFile(UnpackFolder() + L"aulog.txt", "earlier aulog\r\n"));
        ASSERT_TRUE(WriteTextFile(UnpackFolder() + L"aucab.txt", "earlier aucab\r\n"));
        ASSERT_TRUE(WriteTextFile(UnpackFolder() + L"stale.txt", "left by an earlier upgrade\r\n"));

        std::wstring calls = root + L"\\calls.txt";
        SetEnvironmentVariableW(L"FAKEHOST_LOG", calls.c_str());

        std::wstring running = root + L"\\running";
        ChildProcess service = StartSleeperAs(running, L"VYAuto.exe");
        ChildProcess messenger = StartSleeperAs(running, L"VYMsg.exe");
        ASSERT_TRUE(service.IsValid());
        ASSERT_TRUE(messenger.IsValid());

        RunOptions options;
        options.exe = exe;
        if (!manual) options.args = {L"/S"};
        options.timeoutMs = 180000;
        RunResult result = scenario::Run(options);

        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_TRUE(result.boxes.empty());
        const std::vector<LogLine>& log = result.log;

        DWORD code = 0;
        EXPECT_TRUE(service.WaitForEnd(10000, &code));
        EXPECT_EQ(2u, code);
        EXPECT_TRUE(messenger.WaitForEnd(10000, &code));
        EXPECT_EQ(2u, code);
        EXPECT_TRUE(HasLine(log, std::wstring(kCaller) + L"Close VYAU pid:" + std::to_wstring(service.Id()))) << DescribeLog(log);
        EXPECT_TRUE(HasLine(log, std::wstring(kCaller) + L"Close VYAU pid:" + std::to_wstring(messenger.Id())));

        EXPECT_TRUE(HasLine(log, std::wstring(kCaller) + (manual ? L"upgrade start by manual" : L"upgrade start by auto")))
            << DescribeLog(log);
        EXPECT_TRUE(HasLine(log, L"[CUnPack::UnPackFiles] UnPack total 1 files."));
        EXPECT_FALSE(HasLineStarting(log, std::wstring(kCaller) + L"upgrade skip")) << DescribeLog(log);
        EXPECT_FALSE(HasLineStarting(log, L"[CUnPackFileApp::HackForNDUSilentInstallFail]"));

        // Four commands, each started and finished with 0.
        int finished = 0;
        for (const LogLine& line : log)
            if (line.message.find(L"[CUnPackFileApp::ExecuteCommand] pid:") == 0 &&
                line.message.find(L" finish ecode:0") != std::wstring::npos)
                ++finished;
        EXPECT_EQ(4, finished) << DescribeLog(log);

        DWORD manualValue = 99;
        EXPECT_TRUE(ReadHklmDword(kHostKey, L"AutoUpgradeManual", manualValue));
        EXPECT_EQ(manual ? 1u : 0u, manualValue);
        std::wstring installType;
        EXPECT_TRUE(ReadHklmString(kPlvaProduct, L"InstallType", installType));
        EXPECT_EQ(L"Silent", installType);  // the fix-up runs on refusals only

        // The cabinet's files, expanded beside it; the stale file is gone.
        EXPECT_TRUE(PathExists(UnpackFolder() + L"package1.cab"));
        EXPECT_TRUE(PathExists(UnpackFolder() + L"VYAuto.exe"));
        EXPECT_TRUE(PathExists(UnpackFolder() + L"hostdata.txt"));
        EXPECT_FALSE(PathExists(UnpackFolder() + L"stale.txt"));

        std::vector<unsigned char> callBytes = ReadFileBytes(calls);
        std::string callText(callBytes.begin(), callBytes.end());
        std::string folder = Narrow(UnpackFolder());
        folder.pop_back();
        EXPECT_EQ("-i|" + folder + "\r\n-r|" + folder + "\r\n", callText);

        std::vector<unsigned char> cabLog = ReadFileBytes(UnpackFolder() + L"aucab.txt");
        std::string cabText(cabLog.begin(), cabLog.end());
        EXPECT_EQ(0u, cabText.find("earlier aucab\r\n")) << cabText;
        EXPECT_NE(std::string::npos, cabText.find("hostdata.txt")) << cabText;
        EXPECT_NE(std::string::npos, cabText.find("fakehost VYAuto.exe -i")) << cabText;
        EXPECT_NE(std::string::npos, cabText.find("fakehost VYAuto.exe -r")) << cabText;
        std::vector<unsigned char> auLog = ReadFileBytes(UnpackFolder() + L"aulog.txt");
        EXPECT_EQ("earlier aulog\r\n", std::string(auLog.begin(), auLog.end()));

        // The delayed removal waits five seconds for the program to end.
        EXPECT_TRUE(WaitUntilGone(root + L"\\mox\\download", 30000));
        EXPECT_TRUE(PathExists(root + L"\\mox"));
    }
}

struct CommandFailure {
    const wchar_t* cabinet;     // host cabinet, or nullptr for a broken one
    const wchar_t* exitI;       // FAKEHOST_EXIT_I
    const wchar_t* exitR;       // FAKEHOST_EXIT_R
    const wchar_t* exitExpand;  // UNPACK_TEST_EXPAND_EXIT
    const wchar_t* expected;    // the refusal's log line after the caller's name, or nullptr for success
};

// Each failing command ends the upgrade with its own line and the box (133, 136)
// in manual mode; 1066 is accepted from the host's installer only. (An installer
// ending with 259 is not among the cases: Wine's cmd reports a child's 259 as 0,
// where Windows passes it on; the runners' own handling of 259 is tested directly.)
TEST_F(UpgradeTest, CommandResultsDecide) {
    const CommandFailure cases[] = {
        {L"host.cab", L"5", nullptr, nullptr, L"upgrade skip install service err5"},
        {L"host.cab", nullptr, L"3", nullptr, L"upgrade skip launch service err3"},
        {L"host.cab", L"1066", L"1066", nullptr, nullptr},
        {L"host.cab", nullptr, nullptr, L"1066", L"upgrade skip expand err1066"},
        {nullptr, nullptr, nullptr, nullptr, L"upgrade skip expand err"},
    };
    for (const CommandFailure& c : cases) {
        SCOPED_TRACE(Narrow(c.expected != nullptr ? c.expected : L"success"));
        ResetWorld();
        std::wstring root = ScratchFolder(L"upgrade-commands");
        std::wstring cabinet = root + L"\\broken.cab";
        if (c.cabinet != nullptr)
            cabinet = CabinetPath(c.cabinet);
        else
            ASSERT_TRUE(WriteTextFile(cabinet, "MSCF but not really a cabinet"));
        std::wstring exe = Deliver(root, cabinet);
        InstallHost(L"3.5.0.0");
        ASSERT_TRUE(SetHklmDword(kPlvaProduct, L"InstallType", 7));
        SetEnvironmentVariableW(L"FAKEHOST_EXIT_I", c.exitI);
        SetEnvironmentVariableW(L"FAKEHOST_EXIT_R", c.exitR);
        SetEnvironmentVariableW(L"UNPACK_TEST_EXPAND_EXIT", c.exitExpand);

        RunOptions options;
        options.exe = exe;
        options.timeoutMs = 180000;
        RunResult result = scenario::Run(options);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);

        std::wstring installType;
        DWORD type = 0;
        if (c.expected == nullptr) {
            EXPECT_TRUE(result.boxes.empty());
            EXPECT_FALSE(HasLineStarting(result.log, std::wstring(kCaller) + L"upgrade skip")) << DescribeLog(result.log);
            DWORD value = 0;
            EXPECT_TRUE(ReadHklmDword(kPlvaProduct, L"InstallType", value));
            EXPECT_EQ(7u, value);
        } else {
            EXPECT_TRUE(HasLineStarting(result.log, std::wstring(kCaller) + c.expected)) << DescribeLog(result.log);
            ASSERT_EQ(1u, result.boxes.size());
            EXPECT_EQ(L"Update failed.", result.boxes[0].text);
            EXPECT_EQ(L"Kestrune Ostrel Auto Installer", result.boxes[0].caption);
            EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), result.boxes[0].style);
            EXPECT_TRUE(HasLine(result.log,
                                L"[CUnPackFileApp::HackForNDUSilentInstallFail] upgrade skip, hack platform PLVA00"));
            EXPECT_TRUE(ReadHklmString(kPlvaProduct, L"InstallType", installType, &type));
            EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
            EXPECT_EQ(L"", installType);
        }
        EXPECT_TRUE(WaitUntilGone(root + L"\\mox\\download", 30000));
    }
}

// The fix-up on a refusal: the updater's InstallType becomes an empty REG_SZ in
// the first platform whose product key exists, and no product key is created.
TEST_F(UpgradeTest, FixUpEmptiesInstallTypeOfTheExistingPlatform) {
    struct Case {
        bool plva;
        bool proto;
        const wchar_t* platform;
    };
    const Case cases[] = {{true, true, L"PLVA00"}, {true, false, L"PLVA00"}, {false, true, L"PROTOOVRA00"},
                          {false, false, L"PROTOOVRA00"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.platform));
        ResetWorld();
        if (c.plva) {
            ASSERT_TRUE(SetHklmDword(kPlvaProduct, L"InstallType", 3));
        }
        if (c.proto) {
            ASSERT_TRUE(SetHklmString(kProtoProduct, L"InstallType", L"Silent"));
        }
        ASSERT_TRUE(SetHklmString(L"", L"InstallType", L"must survive"));

        HeldMutex other;  // another installation is in progress
        ASSERT_TRUE(other.IsHeld());
        RunOptions options;
        options.args = {L"/S"};
        RunResult result = scenario::Run(options);
        ASSERT_TRUE(result.finished);
        EXPECT_TRUE(result.boxes.empty());
        EXPECT_TRUE(HasLine(result.log, std::wstring(L"[CUnPackFileApp::HackForNDUSilentInstallFail] upgrade skip, hack platform ") +
                                            c.platform))
            << DescribeLog(result.log);
        EXPECT_TRUE(HasLine(result.log, L"[CUnPackFileApp::HackForNDUSilentInstallFail] autoinstaller prepare to exit"));

        std::wstring value;
        DWORD type = 0;
        const wchar_t* chosen = c.plva ? kPlvaProduct : kProtoProduct;
        bool chosenExists = c.plva || c.proto;
        if (chosenExists) {
            EXPECT_TRUE(ReadHklmString(chosen, L"InstallType", value, &type));
            EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
            EXPECT_EQ(L"", value);
        } else {
            EXPECT_FALSE(HklmKeyExists(kProtoProduct));
        }
        if (c.plva && c.proto) {
            EXPECT_TRUE(ReadHklmString(kProtoProduct, L"InstallType", value));
            EXPECT_EQ(L"Silent", value);
        }
        EXPECT_TRUE(ReadHklmString(L"", L"InstallType", value));
        EXPECT_EQ(L"must survive", value);
        DeleteHklmValue(L"", L"InstallType");
    }
}

// The cleanup that every refusal runs: the download folder goes only in the
// mox\<download>\data layout (names compared without regard to case). Each run
// starts from inside its data folder, as the updater starts it, and is refused
// before extraction, so the unpacker's own current folder is still the data
// folder: the removal must start elsewhere, since a folder that is a process's
// current folder is not removed (on Windows, and by Wine's cmd too). It starts
// in the system folder, where the timeout stand-in records it. Started as
// \\srvmox\share\data\UnPackFile.exe, the folder above data is a share, no
// download folder: nothing beside data goes.
TEST_F(UpgradeTest, CleanupOnlyForTheDeliveryLayout) {
    struct Case {
        const wchar_t* dataFolder;    // below the scratch root
        const wchar_t* removed;       // what must go, or nullptr when nothing may
        const wchar_t* kept;          // what must stay
        bool share = false;           // started through \\srvmox\share, which is the scratch root
    };
    const Case cases[] = {
        {L"mox\\dl\\data", L"mox\\dl", L"mox"},
        {L"MOX\\dl\\Data", L"MOX\\dl", L"MOX"},
        {L"mox\\a b & c\\data", L"mox\\a b & c", L"mox"},
        {L"mox\\dl\\files", nullptr, L"mox\\dl\\files"},
        {L"box\\dl\\data", nullptr, L"box\\dl\\data"},
        {L"data", nullptr, L"beside.txt", true},
    };
    HeldMutex other;
    ASSERT_TRUE(other.IsHeld());
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.dataFolder));
        std::wstring root = ScratchFolder(L"cleanup-layout");
        std::wstring exe = root + L"\\" + c.dataFolder + L"\\UnPackFile.exe";
        ASSERT_TRUE(CopyFileTo(ProductExe(), exe));
        std::wstring share = c.share ? MakeShare(L"srvmox", L"share", root) : std::wstring();
        if (c.share && share.empty()) GTEST_SKIP() << "no share can be made here (Wine maps one to a folder)";
        if (c.share) {
            ASSERT_TRUE(WriteTextFile(root + L"\\beside.txt", "beside the data folder"));
        }
        std::wstring started = root + L"\\timeout-started-in.txt";
        SetEnvironmentVariableW(L"UNPACK_TEST_TIMEOUT_LOG", started.c_str());
        RunOptions options;
        options.exe = c.share ? share + L"\\" + c.dataFolder + L"\\UnPackFile.exe" : exe;
        options.args = {L"/S"};
        options.workingFolder = root + L"\\" + c.dataFolder;
        RunResult result = scenario::Run(options);
        if (c.share) RemoveShare(L"srvmox", L"share");
        ASSERT_TRUE(result.finished);
        EXPECT_TRUE(HasLineStarting(result.log, std::wstring(kCaller) + L"upgrade skip Another installation"))
            << DescribeLog(result.log);
        if (c.removed != nullptr) {
            EXPECT_TRUE(WaitUntilGone(root + L"\\" + c.removed, 30000));
            wchar_t systemFolder[MAX_PATH] = {};
            ASSERT_NE(0u, GetSystemDirectoryW(systemFolder, MAX_PATH));
            std::vector<unsigned char> folders = ReadFileBytes(started);
            EXPECT_EQ(Narrow(systemFolder) + "\r\n", std::string(folders.begin(), folders.end()));
        } else {
            Sleep(7000);
            EXPECT_TRUE(PathExists(exe));
            EXPECT_FALSE(PathExists(started)) << "a removal was started";
        }
        EXPECT_TRUE(PathExists(root + L"\\" + c.kept));
    }
    SetEnvironmentVariableW(L"UNPACK_TEST_TIMEOUT_LOG", nullptr);
}

}  // namespace
