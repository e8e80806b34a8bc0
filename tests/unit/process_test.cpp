// Finding and stopping real processes, and the interactive user's token.
#include "framework/Handle.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

namespace {

// The sleeper fixture lies in the build's fixtures folder beside tests\.
std::wstring SleeperPath() {
    std::wstring path = CUtility::GetModulePath();
    CUtility::TrimPath(path, 2);
    return path + L"\\fixtures\\sleeper.exe";
}

// A sleeper running under a host program's name, stopped at the end of the test
// whatever the test did to it.
class NamedSleeper {
public:
    NamedSleeper(const std::wstring& folder, const std::wstring& name) {
        path_ = folder + L"\\" + name;
        if (!::CopyFileW(SleeperPath().c_str(), path_.c_str(), FALSE)) return;
        std::wstring commandLine = L"\"" + path_ + L"\" 120";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(path_.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &startup, &info))
            return;
        ::CloseHandle(info.hThread);
        process_.Reset(info.hProcess);
        id_ = info.dwProcessId;
    }
    ~NamedSleeper() {
        if (process_) {
            ::TerminateProcess(process_.Get(), 99);
            ::WaitForSingleObject(process_.Get(), 10000);
        }
        process_.Reset();
        ::DeleteFileW(path_.c_str());
    }
    bool Started() const { return id_ != 0; }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.Get(); }

private:
    std::wstring path_;
    ScopedHandle process_;
    DWORD id_ = 0;
};

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"process_test";
        ::CreateDirectoryW(folder_.c_str(), nullptr);
        ASSERT_TRUE(CUtility::FileExists(SleeperPath())) << "build the sleeper fixture first";
    }
    void TearDown() override { ::RemoveDirectoryW(folder_.c_str()); }

    std::wstring folder_;
};

bool Contains(const std::vector<DWORD>& ids, DWORD id) {
    for (DWORD each : ids)
        if (each == id) return true;
    return false;
}

DWORD OwnSession() {
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return session;
}

TEST_F(ProcessTest, FindsByNameWithoutRegardToCaseAndKillsWithExitCode2) {
    NamedSleeper vyauto(folder_, L"VYAuto.exe");
    NamedSleeper vymsg(folder_, L"VYMsg.exe");
    ASSERT_TRUE(vyauto.Started());
    ASSERT_TRUE(vymsg.Started());

    std::vector<DWORD> ids = {12345};  // emptied before filling
    ASSERT_TRUE(CUtility::FindProcesses(L"vyauto.EXE", ids, 0xFFFFFFFF));
    ASSERT_EQ(1u, ids.size());
    EXPECT_EQ(vyauto.Id(), ids[0]);

    ASSERT_TRUE(CUtility::FindProcesses(L"VYMSG.exe", ids, 0xFFFFFFFF));
    ASSERT_EQ(1u, ids.size());
    EXPECT_EQ(vymsg.Id(), ids[0]);

    for (const NamedSleeper* sleeper : {&vyauto, &vymsg}) {
        EXPECT_TRUE(CUtility::KillProcess(sleeper->Id()));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(sleeper->Handle(), 10000));
        DWORD exitCode = 0;
        ASSERT_TRUE(::GetExitCodeProcess(sleeper->Handle(), &exitCode));
        EXPECT_EQ(2u, exitCode);
    }
}

TEST_F(ProcessTest, ListsEveryMatchInSnapshotOrder) {
    NamedSleeper first(folder_, L"VYAuto.exe");
    std::wstring second_folder = folder_ + L"\\second";
    ::CreateDirectoryW(second_folder.c_str(), nullptr);
    {
        NamedSleeper second(second_folder, L"VYAuto.exe");
        ASSERT_TRUE(first.Started());
        ASSERT_TRUE(second.Started());
        std::vector<DWORD> ids;
        ASSERT_TRUE(CUtility::FindProcesses(L"VYAuto.exe", ids, 0xFFFFFFFF));
        ASSERT_EQ(2u, ids.size());
        EXPECT_TRUE(Contains(ids, first.Id()));
        EXPECT_TRUE(Contains(ids, second.Id()));
    }
    ::RemoveDirectoryW(second_folder.c_str());
}

TEST_F(ProcessTest, FiltersBySession) {
    NamedSleeper vyauto(folder_, L"VYAuto.exe");
    ASSERT_TRUE(vyauto.Started());
    DWORD sleeperSession = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(vyauto.Id(), &sleeperSession));

    const struct {
        DWORD session;
        bool found;
    } cases[] = {
        {0xFFFFFFFF, true},
        {sleeperSession, true},
        {sleeperSession + 1000, false},  // a session that no process has
    };
    for (const auto& c : cases) {
        std::vector<DWORD> ids;
        EXPECT_TRUE(CUtility::FindProcesses(L"VYAuto.exe", ids, c.session));
        EXPECT_EQ(c.found, Contains(ids, vyauto.Id())) << "session " << c.session;
        EXPECT_EQ(c.found ? 1u : 0u, ids.size()) << "session " << c.session;
    }
}

TEST(FindProcesses, ANameNoProcessHasGivesTrueAndAnEmptyList) {
    std::vector<DWORD> ids = {1, 2, 3};
    EXPECT_TRUE(CUtility::FindProcesses(L"no-such-program-7f3a.exe", ids, 0xFFFFFFFF));
    EXPECT_TRUE(ids.empty());
    ids = {1};
    EXPECT_TRUE(CUtility::FindProcesses(L"", ids, 0xFFFFFFFF));
    EXPECT_TRUE(ids.empty());
}

TEST(FindProcesses, FindsItselfOnlyUnderItsOwnName) {
    std::wstring own = CUtility::GetModulePath();
    std::wstring name = own.substr(own.rfind(L'\\') + 1);
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
    std::vector<DWORD> ids;
    ASSERT_TRUE(CUtility::FindProcesses(name, ids, OwnSession()));
    EXPECT_TRUE(Contains(ids, ::GetCurrentProcessId()));
}

TEST(KillProcess, IdZeroCountsAsStopped) { EXPECT_TRUE(CUtility::KillProcess(0)); }

// An id that no process has: neither open succeeds, and only id 0 is forgiven.
TEST(KillProcess, AnIdWithoutAProcessIsNotStopped) {
    const DWORD unused = 0xFFFFFFFC;
    ScopedHandle probe(::OpenProcess(SYNCHRONIZE, FALSE, unused));
    ASSERT_FALSE(probe) << "the id is expected to be unused";
    EXPECT_FALSE(CUtility::KillProcess(unused));
}

// explorer.exe is started asynchronously with the prefix: wait for it.
bool WaitForShell() {
    for (int i = 0; i < 300; ++i) {
        std::vector<DWORD> ids;
        CUtility::FindProcesses(L"explorer.exe", ids, 0xFFFFFFFF);
        if (!ids.empty()) return true;
        ::Sleep(100);
    }
    return false;
}

TOKEN_TYPE TypeOf(HANDLE token) {
    TOKEN_TYPE type = TokenImpersonation;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenType, &type, sizeof(type), &size);
    return type;
}

std::vector<unsigned char> UserSid(HANDLE token) {
    std::vector<unsigned char> buffer(512);
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const unsigned char* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + ::GetLengthSid(sid));
}

TEST(GetExplorerToken, DuplicatesTheShellsTokenAsPrimary) {
    ASSERT_TRUE(WaitForShell());
    HANDLE raw = nullptr;
    ASSERT_TRUE(CUtility::GetExplorerToken(raw));
    ScopedHandle token(raw);
    ASSERT_TRUE(token);
    EXPECT_EQ(TokenPrimary, TypeOf(token.Get()));
    // The shell runs as the same user as the test here.
    ScopedHandle own;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.Receive()));
    EXPECT_EQ(UserSid(own.Get()), UserSid(token.Get()));
}

// Stand-ins for WTSQueryUserToken: one that refuses as Windows refuses every
// caller but the local system account, one that hands out the test's own token.
ULONG g_askedSession = 0;
int g_queries = 0;

BOOL WINAPI RefusingQuery(ULONG session, PHANDLE) {
    g_askedSession = session;
    ++g_queries;
    ::SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
}

BOOL WINAPI GrantingQuery(ULONG session, PHANDLE token) {
    g_askedSession = session;
    ++g_queries;
    HANDLE own = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE, &own)) return FALSE;
    BOOL ok = ::DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, token);
    ::CloseHandle(own);
    return ok;
}

TEST(GetUserToken, SessionMinusOneAsksForTheOwnSession) {
    const struct {
        DWORD session;
        ULONG expectedAsk;
    } cases[] = {{0xFFFFFFFF, OwnSession()}, {0, 0}, {7, 7}};
    for (const auto& c : cases) {
        g_queries = 0;
        HANDLE raw = nullptr;
        EXPECT_TRUE(CUtility::GetUserToken(raw, c.session, GrantingQuery));
        ScopedHandle token(raw);
        EXPECT_EQ(1, g_queries);
        EXPECT_EQ(c.expectedAsk, g_askedSession) << "session " << c.session;
        EXPECT_TRUE(token);
    }
}

TEST(GetUserToken, FallsBackToTheShellWhenTheSessionQueryIsRefused) {
    ASSERT_TRUE(WaitForShell());
    g_queries = 0;
    HANDLE raw = nullptr;
    ASSERT_TRUE(CUtility::GetUserToken(raw, 0xFFFFFFFF, RefusingQuery));
    ScopedHandle token(raw);
    EXPECT_EQ(1, g_queries);
    ASSERT_TRUE(token);
    EXPECT_EQ(TokenPrimary, TypeOf(token.Get()));
}

// Wine differs from Windows here: WTSQueryUserToken succeeds for any caller, so
// the real query yields the token without the fallback.
TEST(GetUserToken, RealQueryYieldsAToken) {
    HANDLE raw = nullptr;
    ASSERT_TRUE(CUtility::GetUserToken(raw, 0xFFFFFFFF));
    ScopedHandle token(raw);
    EXPECT_TRUE(token);
}

}  // namespace
