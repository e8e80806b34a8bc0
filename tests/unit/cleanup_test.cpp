// The removal of the download folder after the run: which folder, and that the
// delayed command removes that folder and nothing else, whatever its name holds.
#include "app/Cleanup.h"
#include "utility/Execute.h"
#include "utility/Format.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>

#include <string>

TEST(CleanupTest, DownloadFolderOnlyInTheMoxDataLayout) {
    struct Case {
        const wchar_t* modulePath;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"C:\\x\\mox\\dl\\data\\UnPackFile.exe", L"C:\\x\\mox\\dl"},
        {L"C:\\x\\mox\\dl\\Data\\UnPackFile.exe", L"C:\\x\\mox\\dl"},
        {L"C:\\x\\mox\\dl\\DATA\\UnPackFile.exe", L"C:\\x\\mox\\dl"},
        {L"C:\\x\\MOX\\dl\\data\\UnPackFile.exe", L"C:\\x\\MOX\\dl"},
        {L"C:\\x\\kestrunemox\\12345\\setupdata\\UnPackFile.exe", L"C:\\x\\kestrunemox\\12345"},
        {L"C:\\x\\box\\dl\\data\\UnPackFile.exe", L""},
        {L"C:\\x\\mox\\dl\\dat\\UnPackFile.exe", L""},
        {L"C:\\x\\mox\\dl\\data2\\UnPackFile.exe", L""},
        {L"C:\\x\\mox\\data\\UnPackFile.exe", L""},
        {L"C:\\mox\\data\\UnPackFile.exe", L""},
        {L"C:\\data\\UnPackFile.exe", L""},
        {L"C:\\UnPackFile.exe", L""},
        {L"UnPackFile.exe", L""},
        {L"", L""},
        {L"C:\\x\\mox\\a b&c^(d)%PATH%\\data\\UnPackFile.exe", L"C:\\x\\mox\\a b&c^(d)%PATH%"},
        // Never a share or a drive root, in any form; "\\?\" forms as their plain forms.
        {L"\\\\srvmox\\share\\data\\UnPackFile.exe", L""},
        {L"\\\\?\\UNC\\srvmox\\share\\data\\UnPackFile.exe", L""},
        {L"\\\\srv\\xmox\\dl\\data\\UnPackFile.exe", L""},
        {L"\\\\?\\unc\\srv\\xmox\\dl\\data\\UnPackFile.exe", L""},
        {L"\\\\srv\\share\\xmox\\dl\\data\\UnPackFile.exe", L"\\\\srv\\share\\xmox\\dl"},
        {L"\\\\?\\UNC\\srv\\share\\xmox\\dl\\data\\UnPackFile.exe", L"\\\\srv\\share\\xmox\\dl"},
        {L"\\\\?\\C:\\x\\mox\\dl\\data\\UnPackFile.exe", L"C:\\x\\mox\\dl"},
        {L"\\\\?\\Volmox\\dl\\data\\UnPackFile.exe", L""},
        {L"UNC\\srvmox\\share\\data\\UnPackFile.exe", L""},
        {L"\\mox\\dl\\data\\UnPackFile.exe", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.modulePath, c.modulePath + wcslen(c.modulePath)));
        EXPECT_EQ(std::wstring(c.expected), FindDownloadFolder(c.modulePath));
    }
}

// timeout is named by its full path in the system folder. The folder stays one
// quoted argument, and no pipe makes a child interpreter
// parse the command again (and expand '%' inside the folder's path): rmdir's
// question is answered by /q. /d and /v:off ahead of /c keep the registry's
// AutoRun and DelayedExpansion out; Wine's cmd reads neither value, so only
// the text can show them here.
TEST(CleanupTest, RemovalCommandKeepsTheFolderInOneQuotedArgumentWithoutAPipe) {
    const std::wstring parameters = BuildRemovalParameters(L"C:\\Windows\\System32");
    EXPECT_EQ(Format(L"/d /v:off /s /c \"\"C:\\Windows\\System32\\timeout.exe\" /t 5 & rmdir /s /q \"%%%s%%\"\"",
                     kDownloadFolderVariable),
              parameters);
    EXPECT_EQ(std::wstring::npos, parameters.find(L'|'));
}

namespace {

void MakeTree(const std::wstring& folder) {
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ::CreateDirectoryW((folder + L"\\data").c_str(), nullptr);
    HANDLE file = ::CreateFileW((folder + L"\\data\\UnPackFile.exe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ::CloseHandle(file);
}

// Runs the real removal command for one folder, with a time limit: an argument
// that split at a blank would leave rmdir asking again forever.
bool RunRemoval(const std::wstring& folder) {
    ::SetEnvironmentVariableW(kDownloadFolderVariable, folder.c_str());
    HANDLE process = nullptr;
    DWORD error = 0;
    if (!StartHidden(CUtility::GetCommandInterpreter(), BuildRemovalParameters(GetSystemFolder()), process, error)) return false;
    bool ended = ::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(process, 1);
    ::CloseHandle(process);
    ::SetEnvironmentVariableW(kDownloadFolderVariable, nullptr);
    return ended;
}

}  // namespace

// Only the download folder goes, also when its name holds characters that the
// interpreter would otherwise read as separators, escapes or variables; its
// neighbours, including ones whose names are prefixes of it, stay.
TEST(CleanupTest, RemovalTakesExactlyTheDownloadFolder) {
    const std::wstring root = L"C:\\unpack-tests\\cleanup\\mox";
    CUtility::DeleteFolderTree(L"C:\\unpack-tests\\cleanup");
    ::CreateDirectoryW(L"C:\\unpack-tests", nullptr);
    ::CreateDirectoryW(L"C:\\unpack-tests\\cleanup", nullptr);
    ::CreateDirectoryW(root.c_str(), nullptr);

    // Windows' interpreter substitutes a variable's value once and, without a
    // pipe, never expands '%' inside it again. Wine's cmd does expand it again,
    // pipe or not, so a name holding a defined variable ("%PATH%") cannot be
    // shown here (DataSafetyTest has such names for an interpreter that
    // expands once); names with '%' around undefined names show that no
    // expansion widens the argument.
    const wchar_t* names[] = {L"plain", L"with blank", L"amp&ersand", L"caret^and(parens)",
                              L"percent%UNPACK_NOT_DEFINED%x", L"100%", L"all & ^ ( ) % mixed"};
    const wchar_t* neighbours[] = {L"with", L"amp", L"caret", L"percent", L"all"};
    for (const wchar_t* name : neighbours) MakeTree(root + L"\\" + name);

    for (const wchar_t* name : names) {
        std::wstring folder = root + L"\\" + name;
        SCOPED_TRACE(testing::Message() << std::string(folder.begin(), folder.end()));
        MakeTree(folder);
        ASSERT_TRUE(CUtility::FileExists(folder + L"\\data\\UnPackFile.exe"));
        ASSERT_TRUE(RunRemoval(folder));
        EXPECT_FALSE(CUtility::FileExists(folder));
        for (const wchar_t* neighbour : neighbours)
            EXPECT_TRUE(CUtility::FileExists(root + L"\\" + neighbour + L"\\data\\UnPackFile.exe")) << neighbour;
    }
    EXPECT_TRUE(CUtility::FileExists(root));
    CUtility::DeleteFolderTree(L"C:\\unpack-tests\\cleanup");
}
