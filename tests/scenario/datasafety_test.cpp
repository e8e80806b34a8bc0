// Precious data near the unpacker's reach: a folder link in the old unpack
// folder that points at data outside it, read-only files in the old unpack
// folder, and a download folder whose name is full of the command
// interpreter's special characters beside folders whose names are its
// prefixes. After the run nothing but what the unpacker owns has changed.
#include "tests/harness/Scenario.h"
#include "tools/package/PackageWriter.h"
#include "utility/Execute.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace scenario;

namespace {

const wchar_t kPrecious[] = L"C:\\precious";

// ---- Links ----------------------------------------------------------------------

// Removes the link itself: Wine's RemoveDirectoryW would follow a Unix link,
// so under Wine rm removes it; elsewhere RemoveDirectoryW removes a link as a link.
void RemoveLink(const std::wstring& link) {
    if (!IsReparsePoint(link)) return;
    std::string unixLink = UnixPathOf(link);
    if (unixLink.empty()) {
        RemoveDirectoryW(link.c_str());
        return;
    }
    if (!StartUnixProgram(L"/bin/rm", "-f \"" + unixLink + "\"")) return;
    WaitUntil([&] { return !PathExists(link); }, 10000);
}

// ---- Precious data --------------------------------------------------------------

using Snapshot = std::map<std::wstring, std::vector<unsigned char>>;

// Every file below the folder with its bytes, and every folder (with no bytes),
// by relative path; links are not entered.
void TakeSnapshot(const std::wstring& folder, const std::wstring& relative, Snapshot& snapshot) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            snapshot[relative + name + L"\\"] = {};
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                TakeSnapshot(path, relative + name + L"\\", snapshot);
        } else {
            snapshot[relative + name] = ReadFileBytes(path);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

Snapshot SnapshotOf(const std::wstring& folder) {
    Snapshot snapshot;
    TakeSnapshot(folder, L"", snapshot);
    return snapshot;
}

std::vector<unsigned char> Pattern(size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    for (unsigned char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(seed >> 16);
    }
    return bytes;
}

// A folder of data that must outlive every run: text, binary, an empty file, a
// read-only file and a nested folder.
void MakePrecious(const std::wstring& folder) {
    ASSERT_TRUE(CreateFolders(folder + L"\\inner\\deeper"));
    ASSERT_TRUE(WriteTextFile(folder + L"\\letter.txt", "Do not remove.\r\n"));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\photo.bin", Pattern(70000, 7)));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\empty.dat", {}));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\inner\\deeper\\ledger.bin", Pattern(4096, 11)));
    ASSERT_TRUE(WriteTextFile(folder + L"\\inner\\readonly.txt", "kept read-only\r\n"));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\inner\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
}

class DataSafetyTest : public ::testing::Test {
protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override { ResetWorld(); }

    void ResetWorld() {
        RemoveLink(UnpackFolder() + L"linked");
        ResetUpgradeWorld();
        RemoveTree(kPrecious);
    }

    static std::wstring Deliver(const std::wstring& root) { return DeliverPackage(root, CabinetPath(L"host.cab")); }

    RunResult RunAuto(const std::wstring& exe, const std::wstring& workingFolder = std::wstring()) {
        RunOptions options;
        options.exe = exe;
        options.args = {L"/S"};
        options.workingFolder = workingFolder;
        options.timeoutMs = 180000;
        return scenario::Run(options);
    }
};

// The old unpack folder holds a link to C:\precious. Emptying the old folder
// must remove at most the link, never walk into it; the upgrade goes on.
TEST_F(DataSafetyTest, ALinkInTheOldUnpackFolderLeavesItsTargetAlone) {
    MakePrecious(kPrecious);
    Snapshot before = SnapshotOf(kPrecious);
    ASSERT_EQ(7u, before.size());

    ASSERT_TRUE(CreateFolders(UnpackFolder()));
    ASSERT_TRUE(WriteTextFile(UnpackFolder() + L"stale.txt", "from the previous upgrade\r\n"));
    if (!MakeSymbolicLink(UnpackFolder() + L"linked", kPrecious, true))
        GTEST_SKIP() << "no folder link that shows as a reparse point could be made here";

    std::wstring root = ScratchFolder(L"datasafety-link");
    std::wstring exe = Deliver(root);
    ASSERT_TRUE(SetHklmString(kHostKey, L"Version", L"3.5.0.0"));

    RunResult result = RunAuto(exe);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(result.boxes.empty());

    EXPECT_TRUE(before == SnapshotOf(kPrecious)) << "the data behind the link changed";
    // Windows removes the link and the old folder with it. Wine's
    // RemoveDirectoryW follows a Unix link and fails, so there the link keeps
    // the old folder from being emptied and the old folder is used as it is.
    // Either way the upgrade itself succeeds.
    EXPECT_TRUE(HasLine(result.log, std::wstring(kCaller) + L"upgrade start by auto")) << DescribeLog(result.log);
    EXPECT_TRUE(HasLine(result.log, L"[CUnPack::UnPackFiles] UnPack total 1 files.")) << DescribeLog(result.log);
    EXPECT_FALSE(HasLineStarting(result.log, std::wstring(kCaller) + L"upgrade skip")) << DescribeLog(result.log);
    EXPECT_TRUE(PathExists(UnpackFolder() + L"VYAuto.exe"));
    EXPECT_FALSE(PathExists(UnpackFolder() + L"stale.txt"));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(root + L"\\mox\\download"); }, 30000));
    EXPECT_TRUE(before == SnapshotOf(kPrecious)) << "the data behind the link changed after the run";
}

struct ReadOnlyRow {
    const char* what;
    const wchar_t* readOnlyName;  // in the old unpack folder
    const char* content;          // its text, or nullptr for the previous upgrade's cabinet
    bool inTheWay;                // the package's cabinet has this name
};

// True when the platform refuses to open a read-only file for writing, as
// Windows does. Wine running as root does not: it overwrites the file and
// keeps its read-only attribute.
bool PlatformGuardsReadOnlyFiles(const std::wstring& readOnlyFile) {
    HANDLE file = CreateFileW(readOnlyFile.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return true;
    CloseHandle(file);
    return false;
}

// Read-only files in the old unpack folder are left where they are. One that is
// not among the package's names is in nobody's way. One in the place of the
// package's cabinet, the previous upgrade's cabinet, keeps the new cabinet from
// being written: the extraction then fails and the run refuses, instead of
// expanding the old cabinet and reporting an upgrade that did not happen.
// Where the platform lets a read-only file be overwritten (Wine as root), the
// test holds that file open without write sharing for the run: the file then
// cannot be replaced either, which stands for what the read-only attribute
// does on Windows. Either way the unpacker sees a file of the entry's name that
// it cannot create.
TEST_F(DataSafetyTest, ReadOnlyFilesInTheOldUnpackFolder) {
    const ReadOnlyRow rows[] = {
        {"a read-only file of its own", L"old-notes.txt", "notes of the previous upgrade\r\n", false},
        {"the previous upgrade's cabinet, read-only", L"package1.cab", nullptr, true},
    };
    // The package carries host.cab; the previous upgrade left the same host's
    // files in another cabinet, which would install cleanly if expanded.
    const std::vector<unsigned char> previous =
        ReadFileBytes(WindowsPathOf(UNPACK_CABINETS_DIR_FOR_TESTS) + L"\\host-compressed.cab");
    ASSERT_FALSE(previous.empty());
    for (const ReadOnlyRow& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        MakePrecious(kPrecious);
        Snapshot precious = SnapshotOf(kPrecious);
        // The unpack folder's parent holds a file of someone else's: it may not
        // be touched.
        std::wstring parent = ProgramFilesX86() + L"\\Kestrune\\Kestrune Remote";
        ASSERT_TRUE(CreateFolders(UnpackFolder() + L"sub"));
        ASSERT_TRUE(WriteTextFile(parent + L"\\neighbour.txt", "the neighbour's file\r\n"));
        std::wstring readOnly = UnpackFolder() + row.readOnlyName;
        const std::vector<unsigned char> content =
            row.content != nullptr ? std::vector<unsigned char>(row.content, row.content + strlen(row.content)) : previous;
        ASSERT_TRUE(WriteFileBytes(readOnly, content));
        ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
        std::wstring readOnlyInSub = UnpackFolder() + L"sub\\held.txt";
        ASSERT_TRUE(WriteTextFile(readOnlyInSub, "held\r\n"));
        ASSERT_TRUE(SetFileAttributesW(readOnlyInSub.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(WriteTextFile(UnpackFolder() + L"stale.txt", "writable and stale\r\n"));
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (row.inTheWay && !PlatformGuardsReadOnlyFiles(readOnly)) {
            holder = CreateFileW(readOnly.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, holder);
        }

        std::wstring root = ScratchFolder(L"datasafety-readonly");
        std::wstring exe = Deliver(root);
        ASSERT_TRUE(SetHklmString(kHostKey, L"Version", L"3.5.0.0"));

        RunResult result = RunAuto(exe);
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_TRUE(result.boxes.empty());
        ASSERT_FALSE(result.log.empty());

        EXPECT_NE(0u, GetFileAttributesW(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY);
        EXPECT_TRUE(ReadFileBytes(readOnly) == content) << "the read-only file changed";
        EXPECT_TRUE(PathExists(readOnlyInSub));
        EXPECT_FALSE(PathExists(UnpackFolder() + L"stale.txt"));
        std::vector<unsigned char> neighbour = ReadFileBytes(parent + L"\\neighbour.txt");
        EXPECT_EQ("the neighbour's file\r\n", std::string(neighbour.begin(), neighbour.end()));
        EXPECT_TRUE(precious == SnapshotOf(kPrecious));

        if (!row.inTheWay) {
            EXPECT_FALSE(HasLineStarting(result.log, std::wstring(kCaller) + L"upgrade skip")) << DescribeLog(result.log);
            EXPECT_TRUE(HasLine(result.log, std::wstring(kCaller) + L"upgrade start by auto")) << DescribeLog(result.log);
            EXPECT_TRUE(PathExists(UnpackFolder() + L"VYAuto.exe"));
        } else {
            EXPECT_TRUE(HasLineStarting(result.log, L"[CUtility::FileException] ")) << DescribeLog(result.log);
            EXPECT_TRUE(HasLine(result.log, std::wstring(kCaller) + L"upgrade skip unpack not success"))
                << DescribeLog(result.log);
            // No command ran: the old cabinet was not expanded.
            EXPECT_FALSE(HasLineStarting(result.log, L"[CUnPackFileApp::ExecuteCommand]")) << DescribeLog(result.log);
            EXPECT_FALSE(PathExists(UnpackFolder() + L"VYAuto.exe"));
            EXPECT_FALSE(PathExists(UnpackFolder() + L"hostdata.txt"));
            EXPECT_EQ(L"[CUnPackFileApp::HackForNDUSilentInstallFail] autoinstaller prepare to exit",
                      result.log.back().message);
        }
        EXPECT_TRUE(WaitUntil([&] { return !PathExists(root + L"\\mox\\download"); }, 30000));
        SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesW(readOnlyInSub.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// Names of the folders the delayed removal could reach if the download
// folder's name split or spilled: everything before each blank or special
// character, without the trailing blanks and dots a folder name cannot keep.
std::vector<std::wstring> PrefixesOf(const std::wstring& name) {
    std::vector<std::wstring> prefixes;
    for (size_t i = 1; i < name.size(); ++i) {
        if (std::wstring(L" &^(),;=%!'`~[]{}@#$+").find(name[i]) == std::wstring::npos) continue;
        std::wstring prefix = name.substr(0, i);
        while (!prefix.empty() && (prefix.back() == L' ' || prefix.back() == L'.')) prefix.pop_back();
        if (prefix.empty()) continue;
        bool seen = false;
        for (const std::wstring& p : prefixes) seen = seen || p == prefix;
        if (!seen) prefixes.push_back(prefix);
    }
    return prefixes;
}

// Delivers the unpacker in <scratch>\mox\<name>\data and runs it, refused since
// another installation holds the lock, so that it cleans up. Around the
// download folder stand siblings that a name split or spilled by the
// interpreter would reach (each name a prefix of it, a longer one, and the
// folder that the name's %VARIABLE% parts expand to, where that is a folder
// name), a sibling with precious data and files in the mox folder and above.
// Afterwards only the download folder is gone; everything else is unchanged.
void ExpectOnlyTheDownloadFolderGoes(const std::wstring& name) {
    SCOPED_TRACE(Narrow(name));
    std::wstring root = ScratchFolder(L"datasafety-names");
    std::wstring mox = root + L"\\mox";
    std::wstring download = mox + L"\\" + name;
    std::wstring exe = download + L"\\data\\UnPackFile.exe";
    ASSERT_TRUE(CopyFileTo(ProductExe(), exe)) << Narrow(exe);
    ASSERT_TRUE(WriteTextFile(download + L"\\data\\setup.ini", "[VERSIONCHECK]\r\n"));

    for (const std::wstring& prefix : PrefixesOf(name))
        ASSERT_TRUE(WriteTextFile(mox + L"\\" + prefix + L"\\keep.txt", Narrow(prefix))) << Narrow(prefix);
    ASSERT_TRUE(WriteTextFile(mox + L"\\" + name + L" more\\keep.txt", "a longer sibling"));
    wchar_t expanded[4096] = {};
    DWORD length = ExpandEnvironmentStringsW(download.c_str(), expanded, 4096);
    std::wstring expandedForm = length > 0 && length <= 4096 ? expanded : download;
    if (expandedForm != download && expandedForm.find_first_of(L":;", 2) == std::wstring::npos) {
        ASSERT_TRUE(WriteTextFile(expandedForm + L"\\keep.txt", "the expanded form")) << Narrow(expandedForm);
    }
    MakePrecious(mox + L"\\precious");
    MakePrecious(kPrecious);
    ASSERT_TRUE(WriteTextFile(mox + L"\\mox-level.txt", "beside the download folder"));
    ASSERT_TRUE(WriteTextFile(root + L"\\root-level.txt", "above the mox folder"));

    Snapshot rootBefore = SnapshotOf(root);
    Snapshot outsideBefore = SnapshotOf(kPrecious);
    // What must remain: everything but the download folder's own entries.
    Snapshot expected;
    std::wstring downloadRelative = download.substr(root.size() + 1) + L"\\";
    for (const auto& entry : rootBefore)
        if (entry.first.compare(0, downloadRelative.size(), downloadRelative) != 0) expected.insert(entry);
    ASSERT_LT(expected.size(), rootBefore.size());

    RunOptions options;
    options.exe = exe;
    options.args = {L"/S"};
    RunResult result = scenario::Run(options);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(HasLineStarting(result.log, std::wstring(kCaller) + L"upgrade skip Another installation"))
        << DescribeLog(result.log);

    EXPECT_TRUE(WaitUntil([&] { return !PathExists(download); }, 30000)) << "the download folder stayed";
    // The interpreter is done once the folder is gone; give a split command
    // a moment to do whatever else it would do before looking.
    Sleep(1000);
    Snapshot after = SnapshotOf(root);
    for (const auto& entry : expected) {
        auto found = after.find(entry.first);
        EXPECT_TRUE(found != after.end() && found->second == entry.second) << "changed: " << Narrow(entry.first);
    }
    EXPECT_EQ(expected.size(), after.size());
    EXPECT_TRUE(outsideBefore == SnapshotOf(kPrecious));
    RemoveTree(kPrecious);
}

// True when the interpreter the unpacker starts expands %NAME% again inside a
// value it has just put in place of a variable, in a command without a pipe.
// Windows' cmd does not; Wine's cmd (Wine 8) does, with or without a pipe.
bool InterpreterExpandsSubstitutedValuesAgain(const std::wstring& folder) {
    std::wstring output = folder + L"\\expansion.txt";
    SetEnvironmentVariableW(L"UNPACK_TEST_INNER", L"inner");
    SetEnvironmentVariableW(L"UNPACK_TEST_OUTER", L"%UNPACK_TEST_INNER%");
    HANDLE process = nullptr;
    DWORD error = 0;
    bool expands = false;
    if (StartHidden(CUtility::GetCommandInterpreter(), L"/c echo [%UNPACK_TEST_OUTER%]>\"" + output + L"\"", process,
                    error)) {
        WaitForProcessEnd(process, 30000);
        CloseHandle(process);
        std::vector<unsigned char> bytes = ReadFileBytes(output);
        expands = std::string(bytes.begin(), bytes.end()).find("[inner]") != std::string::npos;
    }
    SetEnvironmentVariableW(L"UNPACK_TEST_INNER", nullptr);
    SetEnvironmentVariableW(L"UNPACK_TEST_OUTER", nullptr);
    return expands;
}

// Download folders named with every character of the command interpreter's
// syntax that a Windows folder name may hold: only the download folder goes.
// Names holding references to defined variables follow in the next test.
// The user's interpreter settings turn on delayed expansion, which would make
// "ab!x!" reach rmdir as its sibling "ab", and an AutoRun command, which would
// write beside the mox folder. Wine's cmd reads neither value, so there these
// names show only that such a folder goes and nothing beside it.
TEST_F(DataSafetyTest, OnlyTheDownloadFolderGoesWhateverItsName) {
    HeldMutex other;  // another installation is in progress: every run refuses and cleans up
    ASSERT_TRUE(other.IsHeld());
    const wchar_t key[] = L"Software\\Microsoft\\Command Processor";
    const DWORD on = 1;
    const wchar_t autoRun[] = L"echo autorun>C:\\upf-scenario\\datasafety-names\\autorun.txt";
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_CURRENT_USER, key, L"DelayedExpansion", REG_DWORD, &on, sizeof(on)));
    RegSetKeyValueW(HKEY_CURRENT_USER, key, L"AutoRun", REG_SZ, autoRun, sizeof(autoRun));
    for (const wchar_t* name : {L"dl &^()%!;,='`~[]{}@#$+ x", L"x) & del precious & (y", L"a b", L"^&^& 100% !x! %",
                                L"dl,dl;dl=dl", L"ab!x!"})
        ExpectOnlyTheDownloadFolderGoes(name);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"DelayedExpansion");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"AutoRun");
}

// Download folders whose names hold references to defined variables, %OS%,
// %PATH%, %TEMP% and one whose value climbs out of the folder ("\..\victim"),
// beside siblings named as those references expand: the interpreter expands
// the variable that carries the folder once and leaves what the folder's name
// holds alone, so only the download folder goes. A piped removal command
// would fail here on Windows, since the child interpreter that runs the
// pipe's side parses the folder's path again.
// Wine's cmd expands a value it has substituted again even without a pipe, so
// under Wine these names would aim the removal at the siblings whatever the
// command: the test cannot show the command's behaviour there and is skipped.
// (CleanupTest checks that the command has no pipe, under Wine as well.)
TEST_F(DataSafetyTest, FolderNamesHoldingVariablesAreNotExpanded) {
    std::wstring probe = ScratchFolder(L"datasafety-expansion");
    bool expandsAgain = InterpreterExpandsSubstitutedValuesAgain(probe);
    RemoveTree(probe);
    if (expandsAgain)
        GTEST_SKIP() << "this command interpreter expands %NAME% again inside a substituted value (Wine's cmd does; "
                        "Windows' does not), so the names of this test would name other folders here";

    SetEnvironmentVariableW(L"UNPACK_TEST_UP", L"\\..\\victim");
    HeldMutex other;
    ASSERT_TRUE(other.IsHeld());
    for (const wchar_t* name : {L"dl%OS%x", L"x%PATH%y", L"t%TEMP%", L"up%UNPACK_TEST_UP%"})
        ExpectOnlyTheDownloadFolderGoes(name);
    SetEnvironmentVariableW(L"UNPACK_TEST_UP", nullptr);
}

// timeout.bat planted beside the download folder, in it and in the data folder,
// where the unpacker is started, never runs in place of the system's timeout.
TEST_F(DataSafetyTest, APlantedTimeoutNeverRuns) {
    HeldMutex other;
    ASSERT_TRUE(other.IsHeld());
    std::wstring root = ScratchFolder(L"datasafety-timeout");
    std::wstring data = root + L"\\mox\\dl\\data";
    ASSERT_TRUE(CopyFileTo(ProductExe(), data + L"\\UnPackFile.exe"));
    for (const std::wstring& folder : {root + L"\\mox", root + L"\\mox\\dl", data})
        ASSERT_TRUE(WriteTextFile(folder + L"\\timeout.bat", "@echo " + Narrow(folder) + ">>" + Narrow(root) + "\\ran.txt"));
    RunOptions options;
    options.exe = data + L"\\UnPackFile.exe";
    options.args = {L"/S"};
    options.workingFolder = data;
    ASSERT_TRUE(scenario::Run(options).finished);
    EXPECT_TRUE(WaitUntilGone(root + L"\\mox\\dl", 25000));
    std::vector<unsigned char> ran = ReadFileBytes(root + L"\\ran.txt");
    EXPECT_TRUE(ran.empty()) << "planted in " << std::string(ran.begin(), ran.end());
    EXPECT_TRUE(PathExists(root + L"\\mox\\timeout.bat"));
}

// A cmd.exe planted beside the unpacker and in the folder it is started in
// never runs, for the installation commands or the removal. This is 32-bit
// Windows' path (the system folder's cmd.exe, no WOW64): under Wine a 32-bit
// prefix, which the scripts make where the host runs 32-bit code. Wine
// differs: in a 64-bit prefix its ShellExecuteExW found the system folder's
// cmd.exe for the bare name too (measured), so there this passes either way.
TEST_F(DataSafetyTest, APlantedInterpreterNeverRunsOn32BitWindows) {
    if (sizeof(void*) != 4 || CUtility::IsWow64())
        GTEST_SKIP() << "needs the 32-bit build on 32-bit Windows (a WINEARCH=win32 prefix, made by scripts/make-prefix.sh "
                        "where the host runs 32-bit code; ctest runs it there as scenario_tests_win32); this is "
                     << (sizeof(void*) == 8 ? "the x86-64 build" : "a 32-bit build under WOW64");
    // The stand-in appends its arguments to FAKEHOST_LOG, as the host's
    // installer from the package does: only the installer's lines may appear.
    std::wstring root = ScratchFolder(L"datasafety-cmd");
    std::wstring calls = root + L"\\calls.txt";
    std::wstring current = root + L"\\current";
    std::wstring exe = Deliver(root);
    std::wstring data = root + L"\\mox\\download\\data";
    for (const std::wstring& folder : {data, current})
        ASSERT_TRUE(CopyFileTo(FixturePath(L"fakehost.exe"), folder + L"\\cmd.exe"));
    ASSERT_TRUE(SetHklmString(kHostKey, L"Version", L"3.5.0.0"));
    SetEnvironmentVariableW(L"FAKEHOST_LOG", calls.c_str());

    RunResult upgrade = RunAuto(exe, current);
    ASSERT_TRUE(upgrade.finished);
    EXPECT_TRUE(HasLine(upgrade.log, std::wstring(kCaller) + L"upgrade start by auto")) << DescribeLog(upgrade.log);
    EXPECT_TRUE(PathExists(UnpackFolder() + L"hostdata.txt"));
    EXPECT_TRUE(WaitUntilGone(root + L"\\mox\\download", 30000));

    // Refused, since another installation holds the lock: the removal alone.
    ASSERT_TRUE(CopyFileTo(ProductExe(), data + L"\\UnPackFile.exe"));
    ASSERT_TRUE(CopyFileTo(FixturePath(L"fakehost.exe"), data + L"\\cmd.exe"));
    HeldMutex other;
    ASSERT_TRUE(other.IsHeld());
    RunResult refusal = RunAuto(exe, current);
    ASSERT_TRUE(refusal.finished);
    EXPECT_TRUE(HasLineStarting(refusal.log, std::wstring(kCaller) + L"upgrade skip Another installation"))
        << DescribeLog(refusal.log);
    EXPECT_TRUE(WaitUntilGone(root + L"\\mox\\download", 30000));

    std::vector<unsigned char> bytes = ReadFileBytes(calls);
    std::string folder = Narrow(UnpackFolder());
    folder.pop_back();
    EXPECT_EQ("-i|" + folder + "\r\n-r|" + folder + "\r\n", std::string(bytes.begin(), bytes.end()));
}

}  // namespace
