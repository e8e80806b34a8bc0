// The upgrade driver's foundation, through the real UnPackFile.exe under Wine:
// the platform floor, the single-instance lock, the mode switch and the exit code.
// Other steps of the run (criteria, extraction, commands) are covered elsewhere;
// these tests assert only what holds whatever those steps do.
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace scenario;


const wchar_t kSkipAnother[] =
    L"[CUnPackFileApp::InitInstance] upgrade skip Another installation is in progress. You must complete that "
    L"installation before starting this one.";
const wchar_t kHackPlatformPrefix[] = L"[CUnPackFileApp::HackForNDUSilentInstallFail] upgrade skip, hack platform ";

std::vector<std::wstring> Messages(const RunResult& result) {
    std::vector<std::wstring> messages;
    for (const LogLine& line : result.log) messages.push_back(line.message);
    return messages;
}

// Index of the first message equal to (or, with prefix, starting with) text; -1 when absent.
int Find(const std::vector<std::wstring>& messages, const std::wstring& text, bool prefix = false, int from = 0) {
    for (int i = from; i < static_cast<int>(messages.size()); ++i)
        if (prefix ? messages[i].compare(0, text.size(), text) == 0 : messages[i] == text) return i;
    return -1;
}

class FoundationTest : public ::testing::Test {
protected:
    void SetUp() override { scenario::ResetLog(); }

    static RunResult RunProduct(std::vector<std::wstring> args, const std::wstring& windowsVersion = L"") {
        RunOptions options;
        options.args = std::move(args);
        options.windowsVersion = windowsVersion;
        options.timeoutMs = 60000;
        return scenario::Run(options);
    }
};

// Vista is below the platform floor: the box shows in both modes, before the
// command line is even read, and nothing is logged.
TEST_F(FoundationTest, VistaIsRefusedWithABoxInBothModesAndNoLog) {
    for (const std::vector<std::wstring>& args : {std::vector<std::wstring>{}, std::vector<std::wstring>{L"/S"}}) {
        SCOPED_TRACE(args.empty() ? "manual" : "auto (/S)");
        RunResult result = RunProduct(args, L"vista");
        ASSERT_TRUE(result.finished) << DescribeRun(result);
        EXPECT_EQ(result.exitCode, 0u);
        ASSERT_EQ(result.boxes.size(), 1u) << DescribeRun(result);
        EXPECT_EQ(result.boxes[0].text, kUpgradeSystem);
        EXPECT_EQ(result.boxes[0].caption, kProductName);
        EXPECT_EQ(result.boxes[0].style, static_cast<UINT>(MB_ICONINFORMATION));
        EXPECT_TRUE(result.log.empty()) << DescribeRun(result);
    }
}

// A copy that finds the lock taken refuses with its one log line, then the
// updater fix-up runs; the box is shown in manual mode only.
TEST_F(FoundationTest, SecondInstanceIsRefused) {
    struct Case {
        std::vector<std::wstring> args;
        bool manual;
    };
    const Case cases[] = {
        {{}, true},
        {{L"/S"}, false},
    };
    scenario::HeldMutex lock;
    ASSERT_TRUE(lock.IsHeld());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manual ? "manual" : "auto");
        scenario::ResetLog();
        RunResult result = RunProduct(c.args);
        ASSERT_TRUE(result.finished) << DescribeRun(result);
        EXPECT_EQ(result.exitCode, 0u);

        std::vector<std::wstring> messages = Messages(result);
        ASSERT_FALSE(messages.empty()) << DescribeRun(result);
        EXPECT_EQ(messages[0], kSkipAnother) << DescribeRun(result);
        int hack = Find(messages, kHackPlatformPrefix, true, 1);
        ASSERT_EQ(hack, 1) << DescribeRun(result);
        std::wstring platform = messages[1].substr(wcslen(kHackPlatformPrefix));
        EXPECT_TRUE(platform == L"PLVA00" || platform == L"PROTOOVRA00") << Narrow(platform);
        EXPECT_EQ(Find(messages, kLastLine, false, hack + 1), static_cast<int>(messages.size()) - 1)
            << DescribeRun(result);
        for (const LogLine& line : result.log) EXPECT_EQ(line.time.size(), 19u) << Narrow(line.raw);

        if (c.manual) {
            ASSERT_EQ(result.boxes.size(), 1u) << DescribeRun(result);
            EXPECT_EQ(result.boxes[0].text, kAnotherInstallation);
            EXPECT_EQ(result.boxes[0].caption, kAutoInstaller);
            EXPECT_EQ(result.boxes[0].style, static_cast<UINT>(MB_ICONINFORMATION));
        } else {
            EXPECT_TRUE(result.boxes.empty()) << DescribeRun(result);
        }
    }
}

// The mode rule through the real executable: with the lock taken, a box means
// manual mode and no box means auto mode.
TEST_F(FoundationTest, ModeSwitchDecidesWhetherTheBoxAppears) {
    struct Case {
        std::vector<std::wstring> args;
        bool manual;
    };
    const Case cases[] = {
        {{L"/S"}, false},  {{L"-s"}, false},     {{L"s"}, false},  {{L"/-S"}, false},
        {{L"/s"}, false},  {{L"-S"}, false},     {{L"/-s"}, false}, {{L"x", L"/S"}, false},
        {{L"-silent"}, true}, {{L"/q"}, true},   {{L"/SS"}, true}, {{}, true},
    };
    scenario::HeldMutex lock;
    ASSERT_TRUE(lock.IsHeld());
    for (const Case& c : cases) {
        std::string label;
        for (const std::wstring& a : c.args) label += Narrow(a) + " ";
        SCOPED_TRACE("arguments: " + label);
        RunResult result = RunProduct(c.args);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.boxes.size(), c.manual ? 1u : 0u) << DescribeRun(result);
        ASSERT_FALSE(result.log.empty());
        EXPECT_EQ(result.log[0].message, kSkipAnother);
    }
}

// Element 0 of the argument vector counts too, but only once there are two or
// more elements: started under the command name "s", the program stays manual
// alone and turns to auto mode with any further argument.
TEST_F(FoundationTest, ProgramNameReadsAsSwitchOnlyWithArguments) {
    scenario::HeldMutex lock;
    RunOptions options;
    options.commandName = L"s";
    options.timeoutMs = 60000;

    RunResult alone = scenario::Run(options);
    ASSERT_TRUE(alone.finished);
    EXPECT_EQ(alone.exitCode, 0u);
    EXPECT_EQ(alone.boxes.size(), 1u) << "one element: manual; " << DescribeRun(alone);

    options.args = {L"x"};
    RunResult withArgument = scenario::Run(options);
    ASSERT_TRUE(withArgument.finished);
    EXPECT_EQ(withArgument.exitCode, 0u);
    EXPECT_TRUE(withArgument.boxes.empty()) << "two elements: \"s\" selects auto; " << DescribeRun(withArgument);
}

}  // namespace
