// CUtility::Log against the real file: %TEMP%\unpack.log of the account, UTF-16LE
// without byte-order mark, one CRLF-terminated line per call, appended.
#include "tests/harness/Scenario.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <string>
#include <vector>

namespace {

std::wstring TempFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder, length);
}

std::vector<unsigned char> ReadBytes() { return scenario::ReadFileBytes(scenario::LogPath()); }

// The lines of the file, split at CR LF; a remainder without CR LF comes back
// as a last line, so that a missing line end shows up as a failure.
std::vector<std::wstring> Lines() {
    std::vector<std::wstring> lines;
    for (const scenario::LogLine& line : scenario::ReadLog()) lines.push_back(line.raw);
    return lines;
}

std::wstring Now() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// [pid]YYYY-MM-DD HH:MM:SS, two blanks, the message, " (Last=", the code, ")".
const std::wregex kLine(L"^\\[(\\d+)\\](\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2})  (.*) \\(Last=(-?\\d+)\\)$");

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() { scenario::ResetLog(); }
};

TEST_F(LogTest, PathIsUnpackLogInTheTemporaryFolder) {
    ASSERT_FALSE(TempFolder().empty());
    EXPECT_EQ(TempFolder().back(), L'\\');
    EXPECT_EQ(CUtility::GetLogFilePath(), TempFolder() + L"unpack.log");
    // Wine's temporary folder is the account's own, below C:\users.
    EXPECT_EQ(_wcsnicmp(TempFolder().c_str(), L"C:\\users\\", 9), 0) << std::string(TempFolder().begin(), TempFolder().end());
}

TEST_F(LogTest, OneLineWithTheExactLayout) {
    std::wstring before = Now();
    ::SetLastError(0);
    CUtility::Log(L"[%s] upgrade start by %s", L"CUnPackFileApp::InitInstance", L"manual");
    std::wstring after = Now();

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLine)) << Narrow(lines[0]);
    EXPECT_EQ(std::stoul(match[1].str()), ::GetCurrentProcessId());
    EXPECT_GE(match[2].str(), before);
    EXPECT_LE(match[2].str(), after);
    EXPECT_EQ(match[3].str(), L"[CUnPackFileApp::InitInstance] upgrade start by manual");
    EXPECT_EQ(match[4].str(), L"0");
}

TEST_F(LogTest, Utf16LittleEndianWithoutByteOrderMarkAndCrLf) {
    CUtility::Log(L"[%s] \u00dcber \u20ac %d", L"T::M", 5);
    std::vector<unsigned char> bytes = ReadBytes();
    ASSERT_GE(bytes.size(), 6u);
    // No byte-order mark: the file starts with '[' as a UTF-16LE character.
    EXPECT_EQ(bytes[0], '[');
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes.size() % 2, 0u);
    // Ends with CR LF as two UTF-16 characters.
    EXPECT_EQ(std::vector<unsigned char>(bytes.end() - 4, bytes.end()), (std::vector<unsigned char>{0x0D, 0, 0x0A, 0}));
    std::wstring text = scenario::ReadUtf16File(scenario::LogPath());
    EXPECT_NE(text.find(L"[T::M] \u00dcber \u20ac 5 (Last="), std::wstring::npos);
    // The euro sign as its two little-endian bytes.
    const unsigned char euro[] = {0xAC, 0x20};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), euro, euro + 2), bytes.end());
}

TEST_F(LogTest, EachCallAppendsOneLine) {
    CUtility::Log(L"[%s] first", L"T::M");
    std::vector<unsigned char> afterFirst = ReadBytes();
    CUtility::Log(L"[%s] second", L"T::M");
    CUtility::Log(L"[%s] third %d", L"T::M", 3);
    std::vector<unsigned char> afterThird = ReadBytes();

    // The first line stays as it was; the others follow it.
    ASSERT_GT(afterThird.size(), afterFirst.size());
    EXPECT_TRUE(std::equal(afterFirst.begin(), afterFirst.end(), afterThird.begin()));
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    const wchar_t* expected[] = {L"[T::M] first", L"[T::M] second", L"[T::M] third 3"};
    for (size_t i = 0; i < 3; ++i) {
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, kLine)) << Narrow(lines[i]);
        EXPECT_EQ(match[3].str(), expected[i]);
    }
}

TEST_F(LogTest, LastErrorIsTheCallersAndSigned) {
    struct Row {
        DWORD code;
        const wchar_t* printed;
    };
    const Row rows[] = {
        {0, L"(Last=0)"},
        {2, L"(Last=2)"},
        {183, L"(Last=183)"},
        {0x80070005u, L"(Last=-2147024891)"},
        {0xFFFFFFFFu, L"(Last=-1)"},
    };
    for (const Row& row : rows) {
        ::SetLastError(row.code);
        // The arguments are formatted first; the code is read after that, as the caller left it.
        CUtility::Log(L"[%s] code %u", L"T::M", row.code);
    }
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), std::size(rows));
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(Narrow(lines[i]));
        size_t at = lines[i].size() - wcslen(rows[i].printed);
        EXPECT_EQ(lines[i].substr(at), rows[i].printed);
    }
}

TEST_F(LogTest, EmptyMessageLeavesThreeBlanks) {
    ::SetLastError(0);
    CUtility::Log(L"");
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::wregex empty(L"^\\[\\d+\\]\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}   \\(Last=0\\)$");
    EXPECT_TRUE(std::regex_match(lines[0], empty)) << Narrow(lines[0]);
}

TEST_F(LogTest, MessageOf1022CharactersIsWrittenWhole) {
    std::wstring message(1022, L'x');
    message[0] = L'<';
    message[1021] = L'>';
    CUtility::Log(L"%s", message.c_str());
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLine));
    EXPECT_EQ(match[3].str(), message);
}

TEST_F(LogTest, LongerMessagesAreCutTo1022Characters) {
    for (size_t length : {size_t{1023}, size_t{1024}, size_t{4000}}) {
        SCOPED_TRACE(length);
        Reset();
        std::wstring message;
        for (size_t i = 0; i < length; ++i) message += static_cast<wchar_t>(L'a' + i % 26);
        ::SetLastError(7);
        CUtility::Log(L"%s", message.c_str());
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(lines[0], match, kLine));
        EXPECT_EQ(match[3].str(), message.substr(0, 1022));
        EXPECT_EQ(match[4].str(), L"7");
    }
}

TEST_F(LogTest, WriteLogLineAppendsTheLineAsGiven) {
    CUtility::WriteLogLine(L"plain");
    CUtility::WriteLogLine(L"");
    CUtility::WriteLogLine(L"after");
    EXPECT_EQ(scenario::ReadUtf16File(scenario::LogPath()), L"plain\r\n\r\nafter\r\n");
}

// When the C++ library cannot do what the unpacker asked (memory, a string
// past its maximum), the run ends with one line in the log and exit code 3.
// Without the handler the library would end it with the same code and no line.
TEST_F(LogTest, TheLibrarysFailuresEndTheRunWithOneLine) {
    const struct {
        const wchar_t* request;
        const wchar_t* message;
    } cases[] = {{L"memory", L"[operator new] out of memory"}, {L"length", L"[length_error] basic_string::_M_create"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.request));
        Reset();
        scenario::ChildProcess child = scenario::StartProcess(scenario::FixturePath(L"libraryfailure.exe"), {c.request});
        ASSERT_TRUE(child.IsValid());
        DWORD code = 0;
        ASSERT_TRUE(child.WaitForEnd(30000, &code));
        EXPECT_EQ(3u, code);
        std::vector<scenario::LogLine> log = scenario::ReadLog();
        ASSERT_EQ(1u, log.size()) << scenario::DescribeLog(log);
        EXPECT_EQ(child.Id(), log[0].processId);
        EXPECT_EQ(c.message, log[0].message);
    }
}

}  // namespace
