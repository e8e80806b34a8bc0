// The OS level and the OS bound through the real UnPackFile.exe, with Wine set to
// report Vista, 7, 8, 8.1 or 10 to it. The installed host (3.5.0.0) passes the
// version bounds of both modes, so the OS decides.
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cwctype>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace scenario;



const std::wstring kOSInfo = L"[CUtility::OSInfo] OS ";

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// "x64:1" on 64-bit Windows, whichever build of the unpacker runs there.
int Windows64Digit() {
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    return system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? 1 : 0;
}

struct System {
    const wchar_t* wineName;
    const wchar_t* osInfo;  // the OS line up to the build number's "(", then checked below
};

// The versions and builds Wine reports for each setting (those of the real
// releases: 7 SP1 is 6.1.7601, 8 is 6.2.9200, 8.1 is 6.3.9600).
const System kSystems[] = {
    {L"win7", L"6.1(7601) Service Pack 1"},
    {L"win8", L"6.2(9200) "},
    {L"win81", L"6.3(9600) "},
    {L"win10", L"10.0("},  // Wine's build of Windows 10 is its own choice
};

class OSLevelTest : public ::testing::Test {
protected:
    void SetUp() override {
        maker_ = std::make_unique<scenario::MakerState>();
        ASSERT_TRUE(maker_->IsReady());
        ASSERT_TRUE(scenario::SetHklmString(kHostKey, L"Version", L"3.5.0.0"));
        folder_ = scenario::ScratchFolder(L"oslevel");
        exe_ = folder_ + L"\\UnPackFile.exe";
        ASSERT_TRUE(scenario::CopyFileTo(scenario::ProductExe(), exe_));
    }
    void TearDown() override {
        scenario::RemoveTree(folder_);
        maker_.reset();
    }

    // Both OS bounds set to the same text; nullptr: no setup.ini.
    void SetOSBound(const wchar_t* bound) {
        std::wstring path = folder_ + L"\\setup.ini";
        ::DeleteFileW(path.c_str());
        if (bound == nullptr) return;
        std::wstring text = L"[VERSIONCHECK]\r\nMOSLOWERBOUND=" + std::wstring(bound) + L"\r\nAOSLOWERBOUND=" + bound + L"\r\n";
        ASSERT_TRUE(scenario::WriteTextFile(path, Narrow(text)));
    }

    RunResult RunOn(const wchar_t* wineName, bool manual) {
        RunOptions options;
        options.exe = exe_;
        if (!manual) options.args = {L"/S"};
        options.workingFolder = folder_;
        options.windowsVersion = wineName;
        options.timeoutMs = 60000;
        scenario::ResetLog();
        return scenario::Run(options);
    }

    std::unique_ptr<scenario::MakerState> maker_;
    std::wstring folder_;
    std::wstring exe_;
};

// The OS line: "OS major.minor(build) service-pack x64:n", two blanks when the
// service-pack text is empty.
void ExpectOSInfo(const std::wstring& message, const System& system) {
    std::wstring expectedStart = kOSInfo + system.osInfo;
    ASSERT_TRUE(StartsWith(message, expectedStart)) << Narrow(message);
    std::wstring rest = message.substr(expectedStart.size());
    if (std::wstring(system.osInfo).back() == L'(') {
        size_t digits = 0;
        while (digits < rest.size() && std::iswdigit(rest[digits])) ++digits;
        ASSERT_GT(digits, 0u) << Narrow(message);
        rest = rest.substr(digits);
        ASSERT_TRUE(StartsWith(rest, L") ")) << Narrow(message);
        rest = rest.substr(2);
    }
    EXPECT_EQ(L" x64:" + std::to_wstring(Windows64Digit()), rest) << Narrow(message);
}

// Vista is below the platform floor: its box in both modes, nothing logged.
TEST_F(OSLevelTest, VistaIsBelowThePlatformFloor) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        RunResult result = RunOn(L"vista", manual);
        ASSERT_TRUE(result.finished) << DescribeRun(result);
        ASSERT_EQ(1u, result.boxes.size()) << DescribeRun(result);
        EXPECT_EQ(kUpgradeSystem, result.boxes[0].text);
        EXPECT_EQ(kProductName, result.boxes[0].caption);
        EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), result.boxes[0].style);
        EXPECT_TRUE(result.log.empty()) << DescribeRun(result);
    }
}

// Windows 7 and later pass the floor and the default bound "5.0"; the OS line
// follows the criteria.
TEST_F(OSLevelTest, SevenAndLaterPassAndDescribeTheSystem) {
    for (const System& system : kSystems) {
        SCOPED_TRACE(Narrow(system.wineName));
        SetOSBound(nullptr);
        RunResult result = RunOn(system.wineName, false);
        ASSERT_TRUE(result.finished) << DescribeRun(result);
        ASSERT_GE(result.log.size(), 2u) << DescribeRun(result);
        EXPECT_EQ(kCaller + L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0", result.log[0].message);
        ExpectOSInfo(result.log[1].message, system);
        EXPECT_TRUE(result.boxes.empty()) << DescribeRun(result);
    }
}

struct BoundRow {
    const wchar_t* bound;
    const wchar_t* wineName;
    bool passes;
};

TEST_F(OSLevelTest, OSBound) {
    const BoundRow rows[] = {
        {L"6.1", L"win7", false},  // at the bound: refused
        {L"6.1", L"win8", true},
        {L"6.2", L"win8", false},
        {L"6.2", L"win81", true},
        {L"6.3", L"win81", false},
        {L"6.3", L"win10", true},
        {L"10.0", L"win10", false},
        {L"6.0", L"win7", true},
        // Three fields pack above every system.
        {L"6.1.0", L"win7", false},
        {L"6.1.0", L"win8", false},
        {L"6.1.0", L"win81", false},
        {L"6.1.0", L"win10", false},
        // A field above 255 lets every system pass.
        {L"300.1", L"win7", true},
        {L"300.1", L"win10", true},
        // Empty: packs to 0.
        {L"", L"win7", true},
        {L"", L"win10", true},
    };
    for (const BoundRow& row : rows) {
        for (bool manual : {true, false}) {
            SCOPED_TRACE(Narrow(std::wstring(L"bound '") + row.bound + L"' on " + row.wineName +
                                (manual ? L" manual" : L" auto")));
            SetOSBound(row.bound);
            RunResult result = RunOn(row.wineName, manual);
            ASSERT_TRUE(result.finished) << DescribeRun(result);
            ASSERT_FALSE(result.log.empty()) << DescribeRun(result);
            if (row.passes) {
                EXPECT_EQ(kCaller + L"upgrade criteria passed 3.5.0.0 >= " + (manual ? L"2.4.0.0" : L"3.1.0.0"),
                          result.log[0].message);
                for (const BoxSeen& box : result.boxes) EXPECT_NE(kUpdateFailedCaption, box.caption);
                continue;
            }
            EXPECT_EQ(kCaller + L"upgrade skip OS less than the boundary " + row.bound, result.log[0].message);
            if (manual) {
                ASSERT_EQ(1u, result.boxes.size()) << DescribeRun(result);
                EXPECT_EQ(kUpdateFailedCaption, result.boxes[0].caption);
                EXPECT_TRUE(StartsWith(result.boxes[0].text, kFreshInstallStart)) << Narrow(result.boxes[0].text);
                EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), result.boxes[0].style);
            } else {
                EXPECT_TRUE(result.boxes.empty()) << DescribeRun(result);
            }
        }
    }
}

// Each mode reads its own OS bound.
TEST_F(OSLevelTest, EachModeReadsItsOwnOSBound) {
    ASSERT_TRUE(scenario::WriteTextFile(folder_ + L"\\setup.ini", "[VERSIONCHECK]\r\nMOSLOWERBOUND=6.1\r\n"));
    RunResult manual = RunOn(L"win7", true);
    ASSERT_FALSE(manual.log.empty()) << DescribeRun(manual);
    EXPECT_EQ(kCaller + L"upgrade skip OS less than the boundary 6.1", manual.log[0].message);
    RunResult automatic = RunOn(L"win7", false);
    ASSERT_FALSE(automatic.log.empty()) << DescribeRun(automatic);
    EXPECT_EQ(kCaller + L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0", automatic.log[0].message);
}

}  // namespace
