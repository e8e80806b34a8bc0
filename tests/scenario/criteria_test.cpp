// The upgrade criteria and the stopping of the host's programs, through the real
// UnPackFile.exe: the installed host's "Version" in the machine's 32-bit view,
// setup.ini beside a copy of the executable, and the log lines, boxes and
// registry values the run leaves. Runs whose criteria pass go on into the
// extraction, which fails for the bare executable; only the criteria's part of
// those runs is asserted here.
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace scenario;




bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The product version of the built executable, read the way a person would.
// A value at the root of HKEY_LOCAL_MACHINE: none of the host's business.
bool RootValueDword(const wchar_t* name, DWORD& value) {
    DWORD size = sizeof(value);
    return ::RegQueryValueExW(HKEY_LOCAL_MACHINE, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
           ERROR_SUCCESS;
}

class CriteriaTest : public ::testing::Test {
protected:
    // The maker's keys of the machine are saved and emptied, and put back after.
    void SetUp() override {
        maker_ = std::make_unique<scenario::MakerState>();
        ASSERT_TRUE(maker_->IsReady());
        ASSERT_TRUE(scenario::FindProcessesByName(L"VYAuto.exe").empty()) << "a VYAuto.exe is left running";
        ASSERT_TRUE(scenario::FindProcessesByName(L"VYMsg.exe").empty()) << "a VYMsg.exe is left running";
        folder_ = scenario::ScratchFolder(L"criteria");
        exe_ = folder_ + L"\\UnPackFile.exe";
        ASSERT_TRUE(scenario::CopyFileTo(scenario::ProductExe(), exe_));
        productVersion_ = ProductVersionOf(exe_);
        ASSERT_FALSE(productVersion_.empty());
    }
    void TearDown() override {
        scenario::RemoveTree(folder_);
        maker_.reset();
    }

    void Install(const std::wstring& version) { ASSERT_TRUE(scenario::SetHklmString(kHostKey, L"Version", version)); }

    // setup.ini beside the copy; nullptr leaves the file away.
    void WriteSetupIni(const char* text) {
        std::wstring path = folder_ + L"\\setup.ini";
        ::DeleteFileW(path.c_str());
        if (text != nullptr) {
            ASSERT_TRUE(scenario::WriteTextFile(path, text));
        }
    }

    RunResult RunCopy(bool manual, const std::wstring& exe = std::wstring()) {
        RunOptions options;
        options.exe = exe.empty() ? exe_ : exe;
        if (!manual) options.args = {L"/S"};
        options.workingFolder = folder_;
        options.timeoutMs = 60000;
        scenario::ResetLog();
        return scenario::Run(options);
    }

    std::unique_ptr<scenario::MakerState> maker_;
    std::wstring folder_;
    std::wstring exe_;
    std::wstring productVersion_;
};

// The first line of a run is the criteria's verdict.
void ExpectFirstLine(const RunResult& result, const std::wstring& message) {
    ASSERT_TRUE(result.finished) << DescribeRun(result);
    ASSERT_FALSE(result.log.empty()) << DescribeRun(result);
    EXPECT_EQ(message, result.log[0].message) << DescribeRun(result);
}

void ExpectBoxes(const RunResult& result, const std::vector<BoxSeen>& expected) {
    ASSERT_EQ(expected.size(), result.boxes.size()) << DescribeRun(result);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].caption, result.boxes[i].caption);
        if (expected[i].text == kFreshInstallStart)
            EXPECT_TRUE(StartsWith(result.boxes[i].text, kFreshInstallStart)) << Narrow(result.boxes[i].text);
        else
            EXPECT_EQ(expected[i].text, result.boxes[i].text);
        EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), result.boxes[i].style);
    }
}

// After passing, the next line is the OS line (no host program was running) and
// neither refusal box of the criteria appears; the failing extraction that
// follows may show its own box in manual mode.
void ExpectPassed(const RunResult& result, const std::wstring& installed, const std::wstring& bound) {
    ExpectFirstLine(result, kCaller + L"upgrade criteria passed " + installed + L" >= " + bound);
    ASSERT_GE(result.log.size(), 2u) << DescribeRun(result);
    EXPECT_TRUE(StartsWith(result.log[1].message, L"[CUtility::OSInfo] OS ")) << DescribeRun(result);
    for (const BoxSeen& box : result.boxes) {
        EXPECT_NE(kNoUpdates, box.text) << DescribeRun(result);
        EXPECT_NE(kUpdateFailedCaption, box.caption) << DescribeRun(result);
    }
}

TEST_F(CriteriaTest, NotNewerThanTheInstalledHostIsRefusedAndTheCloudStatusGoes) {
    for (bool manual : {true, false}) {
        for (const std::wstring& installed : {productVersion_, std::wstring(L"10.0.0.0")}) {
            SCOPED_TRACE(Narrow(installed) + (manual ? " manual" : " auto"));
            Install(installed);
            ASSERT_TRUE(scenario::SetHklmDword(kHostKey, L"CloudAutoUpdateStatus", 3));
            RunResult result = RunCopy(manual);
            ExpectFirstLine(result, kCaller + L"upgrade skip " + productVersion_ + L" less than " + installed);
            if (manual)
                ExpectBoxes(result, {{kAutoInstaller, kNoUpdates, MB_ICONINFORMATION}});
            else
                ExpectBoxes(result, {});
            EXPECT_FALSE(scenario::HklmValueExists(kHostKey, L"CloudAutoUpdateStatus"));
            std::wstring still;
            EXPECT_TRUE(scenario::ReadHklmString(kHostKey, L"Version", still));
            EXPECT_EQ(installed, still);
        }
    }
}

struct BoundRow {
    const char* what;
    const char* setupIni;  // nullptr: no setup.ini
    const wchar_t* installed;
    bool manual;
    bool passes;
    const wchar_t* bound;  // as the log line names it
};

TEST_F(CriteriaTest, VersionBoundOfEachMode) {
    const BoundRow rows[] = {
        {"defaults, auto, below", nullptr, L"3.0.0.0", false, false, L"3.1.0.0"},
        {"defaults, manual, above", nullptr, L"3.0.0.0", true, true, L"2.4.0.0"},
        {"defaults, auto, equal passes", nullptr, L"3.1.0.0", false, true, L"3.1.0.0"},
        {"defaults, manual, equal passes", nullptr, L"2.4.0.0", true, true, L"2.4.0.0"},
        {"defaults, manual, below", nullptr, L"2.3.9.9", true, false, L"2.4.0.0"},
        {"short installed text", nullptr, L"3.1", false, true, L"3.1.0.0"},
        {"only MLOWERBOUND: auto keeps its default", "[VERSIONCHECK]\r\nMLOWERBOUND=3.5.0.0\r\n", L"3.0.0.0", false,
         false, L"3.1.0.0"},
        {"only MLOWERBOUND: auto passes on its default", "[VERSIONCHECK]\r\nMLOWERBOUND=3.5.0.0\r\n", L"3.2.0.0",
         false, true, L"3.1.0.0"},
        {"only MLOWERBOUND: manual uses it", "[VERSIONCHECK]\r\nMLOWERBOUND=3.5.0.0\r\n", L"3.2.0.0", true, false,
         L"3.5.0.0"},
        {"fields compare as numbers: below", "[VERSIONCHECK]\r\nMLOWERBOUND=3.5.10.0\r\n", L"3.5.9.0", true, false,
         L"3.5.10.0"},
        {"fields compare as numbers: equal", "[VERSIONCHECK]\r\nMLOWERBOUND=3.5.10.0\r\n", L"3.5.10.0", true, true,
         L"3.5.10.0"},
        {"ALOWERBOUND raised", "[VERSIONCHECK]\r\nALOWERBOUND=3.4.0.0\r\n", L"3.3.0.0", false, false, L"3.4.0.0"},
        {"keys in another section do not count", "[OTHER]\r\nALOWERBOUND=1.0.0.0\r\n", L"3.0.0.0", false, false,
         L"3.1.0.0"},
        {"empty keys: empty bounds, auto", "[VERSIONCHECK]\r\nALOWERBOUND=\r\nMLOWERBOUND=\r\nAOSLOWERBOUND=\r\nMOSLOWERBOUND=\r\n",
         L"1.0.0.0", false, true, L""},
        {"empty keys: empty bounds, manual", "[VERSIONCHECK]\r\nALOWERBOUND=\r\nMLOWERBOUND=\r\nAOSLOWERBOUND=\r\nMOSLOWERBOUND=\r\n",
         L"1.0.0.0", true, true, L""},
    };
    for (const BoundRow& row : rows) {
        SCOPED_TRACE(row.what);
        Install(row.installed);
        WriteSetupIni(row.setupIni);
        RunResult result = RunCopy(row.manual);
        if (row.passes) {
            ExpectPassed(result, row.installed, row.bound);
            continue;
        }
        ExpectFirstLine(result, kCaller + L"upgrade skip " + row.installed + L" less than boundary " + row.bound);
        if (row.manual)
            ExpectBoxes(result, {{kUpdateFailedCaption, kFreshInstallStart, MB_ICONINFORMATION}});
        else
            ExpectBoxes(result, {});
    }
}

// Without an installed host the installed version is empty: the package is
// newer, and the version bound refuses.
TEST_F(CriteriaTest, NoHostInstalledIsRefusedByTheVersionBound) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        RunResult result = RunCopy(manual);
        ExpectFirstLine(result, kCaller + L"upgrade skip  less than boundary " + (manual ? L"2.4.0.0" : L"3.1.0.0"));
        if (manual)
            ExpectBoxes(result, {{kUpdateFailedCaption, kFreshInstallStart, MB_ICONINFORMATION}});
        else
            ExpectBoxes(result, {});
    }
}

// Sets the product version in a copy's fixed version information to 0.0.0.0,
// so that the package is not newer than even an empty installed version.
bool ZeroProductVersion(const std::wstring& exe) {
    std::vector<unsigned char> bytes = scenario::ReadFileBytes(exe);
    const unsigned char signature[4] = {0xBD, 0x04, 0xEF, 0xFE};  // VS_FIXEDFILEINFO.dwSignature
    for (size_t i = 0; i + 24 <= bytes.size(); ++i) {
        if (std::equal(signature, signature + 4, bytes.begin() + static_cast<std::ptrdiff_t>(i))) {
            // dwProductVersionMS and dwProductVersionLS follow the signature, the
            // structure version and the two file-version words.
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(i + 16), bytes.begin() + static_cast<std::ptrdiff_t>(i + 24), 0);
            return scenario::WriteFileBytes(exe, bytes);
        }
    }
    return false;
}

// When the host settings key does not open, the object stands at the root of
// HKEY_LOCAL_MACHINE: the refusal must not delete a value of that name there,
// and a run that passes must not write one.
TEST_F(CriteriaTest, TheRootOfTheMachineIsNeverTouched) {
    ASSERT_FALSE(scenario::HklmKeyExists(kHostKey));
    DWORD seven = 7;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(HKEY_LOCAL_MACHINE, L"CloudAutoUpdateStatus", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&seven), sizeof(seven)));
    ::RegDeleteValueW(HKEY_LOCAL_MACHINE, L"AutoUpgradeManual");

    std::wstring zero = folder_ + L"\\ZeroVersion.exe";
    ASSERT_TRUE(scenario::CopyFileTo(exe_, zero));
    ASSERT_TRUE(ZeroProductVersion(zero));
    ASSERT_EQ(L"0.0.0.0", ProductVersionOf(zero));

    RunResult refused = RunCopy(true, zero);
    ExpectFirstLine(refused, kCaller + L"upgrade skip 0.0.0.0 less than ");
    ExpectBoxes(refused, {{kAutoInstaller, kNoUpdates, MB_ICONINFORMATION}});
    DWORD value = 0;
    EXPECT_TRUE(RootValueDword(L"CloudAutoUpdateStatus", value));
    EXPECT_EQ(7u, value);

    // No host and an empty bound: the criteria pass with the root as current key.
    WriteSetupIni("[VERSIONCHECK]\r\nALOWERBOUND=\r\n");
    RunResult passed = RunCopy(false);
    ExpectPassed(passed, L"", L"");
    EXPECT_FALSE(RootValueDword(L"AutoUpgradeManual", value));
    EXPECT_TRUE(RootValueDword(L"CloudAutoUpdateStatus", value));
}

// Step 6: once the criteria pass, every running VYAuto.exe and VYMsg.exe is
// terminated (exit code 2), each with its own line, before the OS line.
TEST_F(CriteriaTest, RunningHostProgramsAreStoppedWhenTheCriteriaPass) {
    Install(L"3.5.0.0");
    scenario::ChildProcess vyauto = scenario::StartSleeperAs(folder_, L"VYAuto.exe");
    scenario::ChildProcess vymsg = scenario::StartSleeperAs(folder_, L"VYMsg.exe");
    ASSERT_TRUE(vyauto.IsValid());
    ASSERT_TRUE(vymsg.IsValid());

    RunResult result = RunCopy(false);
    ExpectFirstLine(result, kCaller + L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0");
    ASSERT_GE(result.log.size(), 4u) << DescribeRun(result);
    EXPECT_EQ(kCaller + L"Close VYAU pid:" + std::to_wstring(vyauto.Id()), result.log[1].message);
    EXPECT_EQ(kCaller + L"Close VYAU pid:" + std::to_wstring(vymsg.Id()), result.log[2].message);
    EXPECT_TRUE(StartsWith(result.log[3].message, L"[CUtility::OSInfo] OS ")) << DescribeRun(result);

    for (const scenario::ChildProcess* program : {&vyauto, &vymsg}) {
        DWORD exitCode = 0;
        ASSERT_TRUE(program->WaitForEnd(10000, &exitCode));
        EXPECT_EQ(2u, exitCode);
    }
}

// A refusal stops nothing.
TEST_F(CriteriaTest, RunningHostProgramsSurviveARefusal) {
    Install(L"3.0.0.0");
    scenario::ChildProcess vyauto = scenario::StartSleeperAs(folder_, L"VYAuto.exe");
    ASSERT_TRUE(vyauto.IsValid());
    RunResult result = RunCopy(false);
    ExpectFirstLine(result, kCaller + L"upgrade skip 3.0.0.0 less than boundary 3.1.0.0");
    for (const LogLine& line : result.log) EXPECT_FALSE(StartsWith(line.message, kCaller + L"Close VYAU"));
    EXPECT_TRUE(vyauto.IsRunning());
}

}  // namespace
