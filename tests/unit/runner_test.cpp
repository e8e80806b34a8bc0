// The two ways the upgrade starts the command interpreter: the waiting command
// runner of the installation steps and the shell execution behind the cleanup.
#include "app/UnPackFileApp.h"
#include "utility/Execute.h"
#include "utility/Format.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring MakeScratch(const wchar_t* name) {
    std::wstring folder = Format(L"C:\\unpack-tests\\%s", name);
    ::CreateDirectoryW(L"C:\\unpack-tests", nullptr);
    CUtility::DeleteFolderTree(folder);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::string ReadNarrow(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::wstring CurrentFolder() {
    wchar_t folder[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    return folder;
}

// unpack.log as text, for the runner's own lines.
std::wstring ReadLogText() {
    std::ifstream in(CUtility::GetLogFilePath().c_str(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

CUnPackFileApp& App() {
    static CUnPackFileApp app;
    return app;
}

}  // namespace

// Exit codes come back as the interpreter reported them, 259 (STILL_ACTIVE)
// included: a process that really ends with it must not keep either runner
// polling forever.
TEST(CommandRunnerTest, ExitCodesPassThroughUnchanged) {
    std::wstring folder = MakeScratch(L"exitcodes");
    const DWORD codes[] = {0, 1, 3, 1066, 259, 9009};
    for (DWORD code : codes) {
        SCOPED_TRACE(code);
        std::wstring parameters = Format(L"/c exit %u", code);
        EXPECT_EQ(code, App().ExecuteCommand(folder, parameters));
        EXPECT_EQ(code, CUtility::Execute(folder, parameters, true));
    }
}

// The parameters reach the interpreter as they stand: blanks, carets and the
// redirection are the interpreter's business, and relative names resolve
// against the working folder, which stays current afterwards.
TEST(CommandRunnerTest, ParametersAndWorkingFolder) {
    std::wstring folder = MakeScratch(L"parameters");
    ::SetCurrentDirectoryW(L"C:\\");
    EXPECT_EQ(0u, App().ExecuteCommand(folder, L"/c echo one   two^&three>> aucab.txt"));
    EXPECT_EQ(0, lstrcmpiW(folder.c_str(), CurrentFolder().c_str()));
    EXPECT_EQ("one   two&three\r\n", ReadNarrow(folder + L"\\aucab.txt"));

    std::wstring other = MakeScratch(L"parameters2");
    EXPECT_EQ(0u, CUtility::Execute(other, L"/c echo %CD%> where.txt", true));
    EXPECT_EQ(0, lstrcmpiW(other.c_str(), CurrentFolder().c_str()));
    std::string where = ReadNarrow(other + L"\\where.txt");
    EXPECT_NE(std::string::npos, where.find("parameters2")) << where;
}

TEST(CommandRunnerTest, LogsTheStartAndTheEnd) {
    std::wstring folder = MakeScratch(L"logging");
    size_t before = ReadLogText().size();
    EXPECT_EQ(7u, App().ExecuteCommand(folder, L"/c exit 7"));
    std::wstring added = ReadLogText().substr(before);
    size_t start = added.find(L"[CUnPackFileApp::ExecuteCommand] succ wait pid:");
    ASSERT_NE(std::wstring::npos, start) << added.c_str();
    int pid = _wtoi(added.c_str() + start + wcslen(L"[CUnPackFileApp::ExecuteCommand] succ wait pid:"));
    EXPECT_GT(pid, 0);
    EXPECT_NE(std::wstring::npos, added.find(Format(L"[CUnPackFileApp::ExecuteCommand] pid:%d finish ecode:7", pid)))
        << added.c_str();
}

// Without waiting the call returns 0 as soon as the interpreter has started.
TEST(CommandRunnerTest, ExecuteWithoutWaitReturnsZero) {
    std::wstring folder = MakeScratch(L"nowait");
    EXPECT_EQ(0u, CUtility::Execute(folder, L"/c exit 5", false));
    EXPECT_EQ(0, lstrcmpiW(folder.c_str(), CurrentFolder().c_str()));
}

// A start that fails reports the system's error code and no process.
TEST(CommandRunnerTest, FailedStartReportsTheErrorCode) {
    HANDLE process = nullptr;
    DWORD error = 0;
    EXPECT_FALSE(StartHidden(L"C:\\no such folder\\no such program.exe", L"/c exit 0", process, error));
    EXPECT_EQ(nullptr, process);
    EXPECT_NE(0u, error);
    // An interpreter that could not be named is not looked for at all.
    EXPECT_FALSE(StartHidden(L"", L"/c exit 0", process, error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
}

// A start that fails is never reported as 0, which both callers would take for
// the interpreter's success: a last error of 0 becomes ERROR_INVALID_HANDLE,
// any other is kept, even the 1066 that the host's installer may end with.
TEST(CommandRunnerTest, FailedStartNeverReportsZero) {
    const struct {
        DWORD lastError;
        DWORD expected;
    } cases[] = {{ERROR_SUCCESS, ERROR_INVALID_HANDLE},
                 {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
                 {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                 {ERROR_NO_ASSOCIATION, ERROR_NO_ASSOCIATION},
                 {1066, 1066}};
    for (const auto& c : cases) EXPECT_EQ(c.expected, StartFailureCode(c.lastError)) << "last error " << c.lastError;
}

// Both runners start the native interpreter: a 64-bit one on 64-bit Windows,
// whichever build of the unpacker asks (the 32-bit build through "sysnative",
// the x86-64 build from its own system folder). The interpreter tells its own
// kind through PROCESSOR_ARCHITECTURE, which is "x86" only in a 32-bit process.
TEST(CommandRunnerTest, StartsTheNativeInterpreter) {
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    const DWORD expected = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? 64 : 32;
    const std::wstring parameters = L"/c if %PROCESSOR_ARCHITECTURE%==x86 (exit 32) else (exit 64)";
    EXPECT_EQ(expected, App().ExecuteCommand(MakeScratch(L"native"), parameters));
    EXPECT_EQ(expected, CUtility::Execute(std::wstring(), parameters, true));
}

// The interpreter is always named by its full path, so the shell never looks
// for it beside the unpacker or in the current folder; with a folder unknown
// (or a path too long for the classic limit) nothing is named at all.
TEST(CommandRunnerTest, InterpreterByItsFullPath) {
    const std::wstring longFolder = L"C:\\" + std::wstring(MAX_PATH - 10, L'w');
    const struct {
        const char* what;
        InterpreterFacts facts;
        const wchar_t* expected;
    } cases[] = {
        {"32-bit Windows, or the x86-64 build", {false, false, L"C:\\Win\\System32", L"C:\\Win"}, L"C:\\Win\\System32\\cmd.exe"},
        {"WOW64 from Vista on", {true, false, L"C:\\Win\\System32", L"C:\\Win"}, L"C:\\Win\\sysnative\\cmd.exe"},
        {"WOW64 before Vista: no sysnative", {true, true, L"C:\\Win\\System32", L"C:\\Win"}, L"C:\\Win\\System32\\cmd.exe"},
        {"32-bit Windows before Vista", {false, true, L"C:\\Win\\System32", L"C:\\Win"}, L"C:\\Win\\System32\\cmd.exe"},
        {"system folder unknown", {false, false, L"", L"C:\\Win"}, L""},
        {"Windows folder unknown under WOW64", {true, false, L"C:\\Win\\System32", L""}, L""},
        {"too long for the classic limit", {false, false, longFolder, L"C:\\Win"}, L""},
    };
    for (const auto& c : cases) EXPECT_EQ(std::wstring(c.expected), ChooseCommandInterpreter(c.facts)) << c.what;
}
