// upkpack log over real unpack.log lines: whole, damaged, interleaved, and
// files that are no log at all.
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <sstream>

namespace {

using namespace testsupport;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The demo's run (scripts/sample-upgrade.sh), line for line: an upgrade.
const std::vector<std::string> kUpgrade = Lines(
    R"([300]2026-12-09 01:40:45  [CUnPackFileApp::InitInstance] upgrade criteria passed 3.5.0.0 >= 2.4.0.0 (Last=2)
[300]2026-12-09 01:40:45  [CUnPackFileApp::InitInstance] Close VYAU pid:292 (Last=18)
[300]2026-12-09 01:40:46  [CUtility::OSInfo] OS 6.1(7601) Service Pack 1 x64:1 (Last=18)
[300]2026-12-09 01:40:46  [CUnPack::FindHeader] Name:C:\mox\download\data\UnPackFile.exe (Last=0)
[300]2026-12-09 01:40:46  [CUnPack::FindHeader] Sign Size:0 (Last=0)
[300]2026-12-09 01:40:46  [CUnPack::FindHeader] Header offset:376832 (Last=183)
[300]2026-12-09 01:40:46  [CUnPack::UnPackFiles]  FreeSpace:71661551616 FileSize:270256 (Last=0)
[300]2026-12-09 01:40:46  [CUnPack::UnPackFiles] (1/1)UnPack file name:C:\Program Files (x86)\Kestrune\Kestrune Remote\AutoUpdate\package1.cab (270256) (Last=87)
[300]2026-12-09 01:40:46  [CUnPack::UnPackFiles] UnPack count:1 len:270256 File:C:\Program Files (x86)\Kestrune\Kestrune Remote\AutoUpdate\package1.cab (Last=0)
[300]2026-12-09 01:40:46  [CUnPack::UnPackFiles] UnPack total 1 files. (Last=183)
[300]2026-12-09 01:40:46  [CUnPackFileApp::InitInstance] upgrade start by manual (Last=183)
[300]2026-12-09 01:40:46  [CUnPackFileApp::ExecuteCommand] succ wait pid:332 (Last=2)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] pid:332 finish ecode:0 (Last=183)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] succ wait pid:348 (Last=2)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] pid:348 finish ecode:0 (Last=183)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] succ wait pid:372 (Last=2)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] pid:372 finish ecode:0 (Last=183)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] succ wait pid:396 (Last=2)
[300]2026-12-09 01:40:47  [CUnPackFileApp::ExecuteCommand] pid:396 finish ecode:0 (Last=183))");

// The line of a refusal by the driver, and the fix-up's two lines after it.
std::vector<std::string> Refusal(const std::string& pid, const std::string& why,
                                 const std::string& time = "2026-12-10 09:00:00") {
    const std::string head = "[" + pid + "]" + time + "  [CUnPackFileApp::";
    return {head + "InitInstance] upgrade skip " + why + " (Last=0)",
            head + "HackForNDUSilentInstallFail] upgrade skip, hack platform PLVA00 (Last=0)",
            head + "HackForNDUSilentInstallFail] autoinstaller prepare to exit (Last=0)"};
}
const char kAnother[] =
    "Another installation is in progress. You must complete that installation before starting this one.";

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// As the unpacker writes them: UTF-16LE, CR LF, no byte-order mark.
Bytes Utf16(const std::vector<std::string>& lines) {
    Bytes bytes;
    for (const std::string& line : lines)
        for (char c : line + "\r\n") bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
    return bytes;
}

// A converted copy: UTF-8, or UTF-16 big-endian, as editors save them.
Bytes Utf8(const std::vector<std::string>& lines) {
    Bytes bytes;
    for (const std::string& line : lines) bytes.insert(bytes.end(), line.begin(), line.end()), bytes.push_back('\n');
    return bytes;
}
Bytes Utf16Be(const std::vector<std::string>& lines) {
    Bytes bytes;
    for (uint8_t c : Utf8(lines)) bytes.insert(bytes.end(), {0, c});
    return bytes;
}

// The lines with every time stamp replaced.
std::vector<std::string> Retimed(std::vector<std::string> lines, const std::string& time) {
    for (std::string& line : lines) line.replace(line.find(']') + 1, time.size(), time);
    return lines;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int RunLog(const Bytes& file, const std::vector<std::string>& options, std::string& output) {
    ScratchDir dir;
    WriteBytes(dir.Path("unpack.log"), file);
    std::vector<std::string> arguments = {"log", dir.Path("unpack.log")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return RunTool(arguments, &output);
}

TEST(UpkpackLog, TellsEachRunAndItsOutcomeFromWholeAndDamagedLogs) {
    // A second copy started while the first extracted: its refusal lands among the first's lines.
    std::vector<std::string> interleaved(kUpgrade.begin(), kUpgrade.begin() + 8);
    interleaved = interleaved + Refusal("301", kAnother, "2026-12-09 01:40:46") +
                  std::vector<std::string>(kUpgrade.begin() + 8, kUpgrade.end());
    const Bytes upgrade = Utf16(kUpgrade);
    // The same process id again, its time going backwards and its first lines lost.
    const std::vector<std::string> earlierRerun =
        Retimed(std::vector<std::string>(kUpgrade.begin() + 1, kUpgrade.begin() + 9), "2026-12-09 01:40:30");
    // Lines that alternate in the file, their times a minute and more apart.
    std::vector<std::string> apart = Retimed(std::vector<std::string>(kUpgrade.begin(), kUpgrade.begin() + 2),
                                             "2026-12-09 07:45:17");
    apart = apart + Refusal("301", kAnother, "2026-12-09 07:47:02");
    apart.push_back("[300]  [CUnPackFileApp::InitInstance] Close VYAU pid:293 (Last=18)");
    const std::vector<std::string> earlierRefusal = Refusal("2412", "3.5.0.0 less than 3.5.0.0", "2026-12-08 22:10:05");
    std::vector<std::string> outOfMemory(kUpgrade.begin(), kUpgrade.begin() + 9);
    outOfMemory.push_back("[300]2026-12-09 01:40:46  [operator new] out of memory (Last=8)");
    // A refusal whose message box held the run for 14 s before the fix-up ran.
    std::vector<std::string> boxWaited = Refusal("77", "OS less than the boundary 6.1");
    boxWaited = std::vector<std::string>{boxWaited[0]} + Retimed({boxWaited[1], boxWaited[2]}, "2026-12-10 09:00:14");
    struct Case {
        const char* label;
        Bytes file;
        std::vector<std::string> options;
        int expected;
        std::vector<std::string> says, saysNot;
    } cases[] = {
        {"an upgrade, then a refusal",
         Utf16(kUpgrade + Refusal("2412", "3.6.2.1 less than 3.6.2.1")),
         {},
         1,
         {"run 1: pid 300, 2026-12-09 01:40:45 to 01:40:47 (19 lines)", "  mode:      manual\n",
          "  installed: 3.5.0.0 (lower bound 2.4.0.0)\n",
          "  outcome:   upgraded (installer exit codes: expand.exe 0, VYAuto.exe -i 0, VYAuto.exe -r 0)\n",
          "  package:   3.6.2.1 (not logged by an upgrade: installed as run 2 found it)\n", "run 2: pid 2412",
          "  outcome:   refused: upgrade skip 3.6.2.1 less than 3.6.2.1\n",
          "  mode:      auto, probably (not logged: the fix-up followed within a second",
          "2 runs in the log; the last, run 2 (pid 2412, 2026-12-10 09:00:00): refused\n"},
         {"disagree"}},
        {"--last: logs joined newest first",
         Utf16(Refusal("2412", "3.6.2.1 less than 3.6.2.1") + kUpgrade),
         {"--last"},
         1,
         {"run 1: pid 2412", "the last by time, run 1 (pid 2412, 2026-12-10 09:00:00): refused\n",
          "note: the file's order and the runs' times disagree: run 2 (2026-12-09 01:40:45) follows run 1 "
          "(2026-12-10 09:00:00)"},
         {"run 2:"}},
        {"the same log joined twice",
         Utf16(kUpgrade) + Utf16(kUpgrade),
         {},
         0,
         {"run 2: pid 300", "  repeats:   run 1 (the same lines, pid and times)", "note: 1 run appears twice"},
         {"disagree"}},
        {"--until and --outcome choose runs",
         Utf16(kUpgrade + Refusal("2412", "3.6.2.1 less than 3.6.2.1")),
         {"--until", "2026-12-09", "--outcome", "refused,upgraded"},
         0,
         {"2 runs in the log, 1 of them chosen", "the last, run 1 (pid 300"},
         {"run 2:"}},
        {"--since and --outcome: none chosen",
         Utf16(kUpgrade),
         {"--since", "2026-12-09", "--outcome", "refused"},
         1,
         {"1 run in the log, none of them chosen"},
         {"run 1:"}},
        {"a refusal whose box waited",
         Utf16(boxWaited),
         {},
         1,
         {"  mode:      manual (not logged: its message box held the run 14 s before the fix-up)"},
         {}},
        {"out of memory",
         Utf16(outOfMemory),
         {},
         1,
         {"  outcome:   ended by the C++ library's failure (exit code 3): \"[operator new] out of memory\"",
          "ran out of memory after \"1 file extracted\"", "the host's programs it stopped were not started",
          "run 1 (pid 300, 2026-12-09 01:40:45): ended by the C++ library's failure"},
         {"passed over", "none in the log"}},
        {"a UTF-8 copy of an odd length, the unpacker's lines appended",
         Utf8(earlierRefusal) + Utf16(kUpgrade),
         {},
         0,
         {"run 2: pid 300", "upgraded (", "note: the file mixes encodings: UTF-8, then UTF-16LE"},
         {"passed over", "is UTF-8"}},
        {"the same with its mark",
         Bytes{0xEF, 0xBB, 0xBF} + Utf8(earlierRefusal) + Utf16(kUpgrade),
         {},
         0,
         {"upgraded (", "mixes encodings: UTF-8, then UTF-16LE", "byte-order mark"},
         {"passed over", "big-endian"}},
        {"a second copy interleaved",
         Utf16(interleaved),
         {},
         0,
         {"  alongside: run 2 (pid 301)", "  alongside: run 1 (pid 300)", "upgraded (", "a second copy was running",
          "the last to decide, run 1 (pid 300, 2026-12-09 01:40:45): upgraded\n",
          "run 2 (pid 301, 2026-12-09 01:40:46): a second copy started meanwhile"},
         {"begins:"}},
        {"--last: the copy that upgraded, not the second one refused meanwhile",
         Utf16(interleaved),
         {"--last"},
         0,
         {"run 1: pid 300", "upgraded (", "run 2 (pid 301, 2026-12-09 01:40:46): a second copy started meanwhile"},
         {"run 2:"}},
        {"the same pid again, time going backwards",
         Utf16(std::vector<std::string>(kUpgrade.begin(), kUpgrade.begin() + 12) + earlierRerun),
         {},
         1,
         {"run 1: pid 300, 2026-12-09 01:40:45 to 01:40:46 (12 lines)",
          "run 2: pid 300, 2026-12-09 01:40:30 (8 lines)\n  begins:"},
         {"2 files extracted"}},
        {"interleaved lines, times apart", Utf16(apart), {}, 1, {"run 2: pid 301"}, {"alongside:"}},
        {"killed at its message box",
         Utf16({Refusal("77", "3.6.2.1 less than 3.6.2.1")[0]}),
         {},
         1,
         {"  ended:     without its last line", "run 1 (pid 77, 2026-12-10 09:00:00): refused, ended without"},
         {}},
        {"a UTF-8 copy", Utf8(kUpgrade), {}, 0, {"upgraded (", "the file is UTF-8"}, {"byte-order mark"}},
        {"a UTF-8 copy with its mark", Bytes{0xEF, 0xBB, 0xBF} + Utf8(kUpgrade), {}, 0, {"upgraded (", "byte-order mark"},
         {}},
        {"a UTF-16BE copy without a mark", Utf16Be(kUpgrade), {}, 0, {"upgraded (", "UTF-16 big-endian"}, {}},
        {"UTF-8 text, no log", Utf8({"hello", "world"}), {}, 2, {"(read as UTF-8)"}, {}},
        {"binary junk", PatternBytes(100000, 3), {}, 2, {"no line of the log's format"}, {}},
        {"an empty file", {}, {}, 2, {"the file is empty"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string output;
        EXPECT_EQ(RunLog(c.file, c.options, output), c.expected) << output;
        for (const std::string& text : c.says)
            EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
        for (const std::string& text : c.saysNot)
            EXPECT_EQ(output.find(text), std::string::npos) << text << "\n" << output;
        // Exit code 2 is also the usage error's: the message tells them apart.
        if (c.expected == 2) {
            EXPECT_NE(output.find("not a log it can read"), std::string::npos) << output;
            EXPECT_EQ(output.find("--help"), std::string::npos) << output;
        }
    }
}

// Several logs in one call, one of them on standard input: each file's report,
// the summary, the exit code; and the same runs as JSON Lines, read back.
TEST(UpkpackLog, SumsUpSeveralLogsAndWritesJsonLines) {
    ScratchDir dir;
    const std::string upgraded = dir.Path("upgraded.log"), refused = dir.Path("refused.log"), empty = dir.Path("c.txt");
    WriteBytes(upgraded, Utf16(kUpgrade));
    WriteBytes(refused, Utf16(Refusal("2412", "3.6.2.1 less than 3.6.2.1") + Refusal("2413", "expand err1")));
    WriteBytes(empty, {});
    const struct {
        std::vector<std::string> arguments;
        int expected;
        std::vector<std::string> says;
    } cases[] = {
        {{upgraded, "-"},
         1,
         {"==> " + upgraded + " <==\nrun 1: pid 300", "==> - <==\nrun 1: pid 2412",
          "summary of 2 files\n  runs:      3 (1 upgraded, 2 refused, 0 ended by",
          "  refused:   1  upgrade skip <package> less than <installed>\n"
          "             1  upgrade skip expand err<code>\n",
          "  decided:   upgraded in 1 of 2 logs\n             -: refused\n"}},
        {{upgraded, upgraded}, 0, {"  decided:   upgraded in 2 of 2 logs\n"}},
        {{upgraded, empty}, 2, {"  no log:    " + empty + ": the file is empty\n"}},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(RunTool(std::vector<std::string>{"log"} + c.arguments, &output, 0, refused), c.expected) << output;
        for (const std::string& text : c.says)
            EXPECT_NE(output.find(text), std::string::npos) << text << "\n" << output;
    }

    std::string output;
    EXPECT_EQ(RunTool({"log", "--json", upgraded, refused}, &output), 1) << output;
    std::vector<nlohmann::json> records;
    for (const std::string& line : Lines(output)) records.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(records.size(), 3u) << output;
    EXPECT_EQ(records[0]["file"], upgraded);
    EXPECT_EQ(records[0]["outcome"], "upgraded");
    EXPECT_EQ(records[0]["installer_exit_codes"], nlohmann::json({0, 0, 0, 0}));
    EXPECT_EQ(records[0]["mode"], "manual");
    EXPECT_TRUE(records[0]["package"].is_null());
    EXPECT_EQ(records[1]["refusal"], "not-newer");
    EXPECT_EQ(records[1]["package"], "3.6.2.1");
    EXPECT_EQ(records[2]["refusal"], "expand-failed");
    EXPECT_EQ(records[2]["start"], "2026-12-10 09:00:00");
    EXPECT_EQ(records[2]["mode"], "auto");
    EXPECT_FALSE(records[2]["mode_logged"]);
}

// Every refusal is explained in the words of the README's refusal table.
TEST(UpkpackLog, ExplainsEachRefusalInTheReadmesWords) {
    std::string readme;
    for (uint8_t byte : ReadBytes(README_PATH)) readme += static_cast<char>(byte);
    const std::string damaged = "[77]2026-12-10 09:00:00  [CUnPack::CheckPackage] Package damaged: SHA-256 expected " +
                                std::string(64, 'a') + ", found " + std::string(64, 'b') + " (Last=0)";
    const struct {
        const char* refusal;
        std::vector<std::string> before;  // the lines that tell the refusal's cause
    } refusals[] = {
        {kAnother, {}},
        {"3.6.2.1 less than 3.6.2.1", {}},
        {"OS less than the boundary 6.1", {}},
        {" less than boundary 3.1.0.0", {}},
        {"path not exist C:\\Program Files (x86)\\Kestrune\\Kestrune Remote\\AutoUpdate\\", {}},
        {"unpack not success", {}},
        {"unpack not success", {damaged}},
        {"unpack not success", {"[77]2026-12-10 09:00:00  [CUnPack::CheckPackage] Package format 2 is not known to "
                                "this unpacker (Last=0)"}},
        {"expand err1", {}},
        {"install service err5", {}},
        {"launch service err-1073741819", {}},
    };
    std::set<std::string> meanings;
    for (const auto& [refusal, before] : refusals) {
        SCOPED_TRACE(refusal);
        std::string output;
        EXPECT_EQ(RunLog(Utf16(before + Refusal("77", refusal)), {}, output), 1) << output;
        EXPECT_NE(output.find(std::string("refused: upgrade skip ") + refusal), std::string::npos) << output;
        // The meaning, its wrapped lines joined again.
        const size_t start = output.find("  meaning:   ");
        ASSERT_NE(start, std::string::npos) << output;
        std::string meaning;
        for (const std::string& line : Lines(output.substr(start + 13))) {
            if (!meaning.empty() && line.compare(0, 13, std::string(13, ' ')) != 0) break;
            meaning += (meaning.empty() ? "" : " ") + line.substr(meaning.empty() ? 0 : 13);
        }
        EXPECT_NE(readme.find("| " + meaning + " |"), std::string::npos) << meaning;
        EXPECT_TRUE(meanings.insert(meaning).second) << "told like another refusal: " << meaning;
    }
}

// Input without line ends never ends the first line: the reader must give up
// at its recognition window rather than read on.
TEST(UpkpackLog, GivesUpOnEndlessInputWithoutLineEnds) {
    for (const char* mode : {"--last", "--text"}) {
        std::string output;
        EXPECT_EQ(testsupport::RunTool({"log", "/dev/zero", mode}, &output, 60), 2) << output;
        EXPECT_NE(output.find("in its first 64 KiB"), std::string::npos) << output;
    }
}

}  // namespace
