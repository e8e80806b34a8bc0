// Extraction on the worker thread, run in this process against real package
// files and the real unpack folder below Program Files (x86) of the prefix.
#include "tests/unit/unpack_test_support.h"
#include "unpack/UnPack.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

namespace {

using namespace unpacktest;

const std::wstring kLine = L"[CUnPack::UnPackFiles] ";
const std::wstring kFileError = L"[CUtility::FileException] ";

std::vector<std::wstring> ExtractionLines() {
    std::vector<std::wstring> lines;
    for (const std::wstring& m : LogMessages())
        if (m.compare(0, kLine.size(), kLine) == 0) lines.push_back(m);
    return lines;
}

std::vector<std::wstring> FileErrorLines() {
    std::vector<std::wstring> lines;
    for (const std::wstring& m : LogMessages())
        if (m.compare(0, kFileError.size(), kFileError) == 0) lines.push_back(m);
    return lines;
}

bool IsFreeSpaceLine(const std::wstring& line, uint64_t size) {
    std::wstring start = kLine + L" FreeSpace:";
    std::wstring end = L" FileSize:" + std::to_wstring(size);
    return line.size() > start.size() + end.size() && line.compare(0, start.size(), start) == 0 &&
           line.compare(line.size() - end.size(), end.size(), end) == 0;
}

std::wstring NameLine(int number, int count, const std::wstring& path, uint64_t size) {
    return kLine + L"(" + std::to_wstring(number) + L"/" + std::to_wstring(count) + L")UnPack file name:" + path +
           L" (" + std::to_wstring(static_cast<int>(static_cast<uint32_t>(size))) + L")";
}

std::wstring CountLine(int number, uint64_t length, const std::wstring& path) {
    return kLine + L"UnPack count:" + std::to_wstring(number) + L" len:" + std::to_wstring(length) + L" File:" + path;
}

std::wstring TotalLine(int count) { return kLine + L"UnPack total " + std::to_wstring(count) + L" files."; }

std::vector<std::wstring> FolderListing(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    ScopedFindHandle search(::FindFirstFileW((folder + L"*").c_str(), &found));
    if (!search) return names;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) names.push_back(found.cFileName);
    } while (::FindNextFileW(search.Get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring CurrentDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, buffer);
    return buffer;
}

std::wstring Parent(std::wstring folder) {
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    CUtility::TrimPath(folder, 1);
    return folder;
}

class ExtractTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDirectory = CurrentDirectory();
        ResetUnpackFolder();
        ResetLog();
        scratch = ScratchFolder(L"extract");
        packagePath = scratch + L"\\package.exe";
        folder = UnpackFolder();
        ASSERT_EQ(folder.compare(folder.size() - 37, 37, L"\\Kestrune\\Kestrune Remote\\AutoUpdate\\"), 0);
    }
    void TearDown() override {
        // The unpacker moves the current directory when it removes an old folder.
        ::SetCurrentDirectoryW(savedDirectory.c_str());
        ResetUnpackFolder();
        ResetLog();
        ForceRemoveTree(scratch);
    }

    void WritePackage(const TestPackage& contents) { ASSERT_TRUE(WriteBytes(packagePath, BuildPackage(contents))); }

    void ExpectFile(const std::wstring& name, const Bytes& expected) {
        Bytes actual;
        ASSERT_TRUE(ReadBytes(folder + name, actual)) << "missing " << std::string(name.begin(), name.end());
        EXPECT_EQ(actual.size(), expected.size());
        EXPECT_TRUE(actual == expected) << "bytes differ in " << std::string(name.begin(), name.end());
    }

    std::wstring savedDirectory, scratch, packagePath, folder;
};

TEST_F(ExtractTest, OneEntryOnTheWorkerThread) {
    TestPackage contents;
    contents.entries.push_back({"package1.cab", MakeData(5000, 11)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    EXPECT_EQ(unpack.GetSuccess(), 1);
    EXPECT_EQ(unpack.GetUnPackPath(), folder);
    ExpectFile(L"package1.cab", contents.entries[0].data);

    std::vector<std::wstring> lines = ExtractionLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(IsFreeSpaceLine(lines[0], 5000)) << lines[0];
    EXPECT_EQ(lines[1], NameLine(1, 1, folder + L"package1.cab", 5000));
    EXPECT_EQ(lines[2], CountLine(1, 5000, folder + L"package1.cab"));
    EXPECT_EQ(lines[3], TotalLine(1));
    EXPECT_TRUE(FileErrorLines().empty());
}

// One handle, denying writers, from the trailer to the last entry: a writer
// coming once the trailer is read is turned away (Wine enforces share modes),
// and what lands is what the check proved. A writer let in would change the
// entry's last byte, the last one checked and copied.
TEST_F(ExtractTest, NoWriterGetsInWhileThePackageIsRead) {
    TestPackage contents;
    contents.marked = true;
    contents.entries.push_back({"package1.cab", MakeData(32u << 20, 9)});
    WritePackage(contents);
    const LONG last = static_cast<LONG>(contents.imageSize + package::kRecordSize + contents.entries[0].data.size() - 1);
    const uint8_t changed = static_cast<uint8_t>(~contents.entries[0].data.back());
    CUnPack unpack(packagePath);
    ScopedHandle worker(::CreateThread(nullptr, 0, CUnPack::UnPackThreadProc, &unpack, 0, nullptr));
    auto running = [&] { return ::WaitForSingleObject(worker.Get(), 0) == WAIT_TIMEOUT; };
    while (running() && CountStartingWith(LogMessages(), L"[CUnPack::FindHeader] Header offset:") == 0) {}
    int refused = 0;
    for (DWORD written = 0; running();) {
        ScopedHandle writer(::CreateFileW(packagePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        refused += !writer && ::GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
        if (writer && ::SetFilePointer(writer.Get(), last, nullptr, FILE_BEGIN) == static_cast<DWORD>(last))
            ::WriteFile(writer.Get(), &changed, 1, &written, nullptr);
    }
    EXPECT_GT(refused, 0);
    EXPECT_EQ(unpack.GetSuccess(), 1);
    ExpectFile(L"package1.cab", contents.entries[0].data);
}

TEST_F(ExtractTest, SeveralEntriesOfEverySizeAroundTheChunk) {
    const size_t sizes[] = {0, 1, 1023, 1024, 1025, 3072, 70001};
    TestPackage contents;
    for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i)
        contents.entries.push_back({"entry" + std::to_string(i) + ".bin", MakeData(sizes[i], static_cast<uint8_t>(i))});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    int count = static_cast<int>(contents.entries.size());
    for (const TestEntry& entry : contents.entries) ExpectFile(Narrow(entry.name), entry.data);

    std::vector<std::wstring> lines = ExtractionLines();
    ASSERT_EQ(lines.size(), 3u * count + 1);
    for (int i = 0; i < count; ++i) {
        std::wstring path = folder + Narrow(contents.entries[i].name);
        EXPECT_TRUE(IsFreeSpaceLine(lines[3 * i], sizes[i])) << lines[3 * i];
        EXPECT_EQ(lines[3 * i + 1], NameLine(i + 1, count, path, sizes[i]));
        EXPECT_EQ(lines[3 * i + 2], CountLine(i + 1, sizes[i], path));
    }
    EXPECT_EQ(lines.back(), TotalLine(count));
}

TEST_F(ExtractTest, ARepeatedNameReplacesTheEarlierFile) {
    TestPackage contents;
    contents.entries.push_back({"same.bin", MakeData(3000, 1)});
    contents.entries.push_back({"same.bin", MakeData(10, 2)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    ExpectFile(L"same.bin", contents.entries[1].data);
    EXPECT_EQ(ExtractionLines().back(), TotalLine(2));
}

TEST_F(ExtractTest, AnEmptyNameIsPassedOver) {
    TestPackage contents;
    contents.entries.push_back({"", MakeData(2500, 1)});
    contents.entries.push_back({"after.bin", MakeData(700, 2)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    ExpectFile(L"after.bin", contents.entries[1].data);
    EXPECT_EQ(FolderListing(folder), std::vector<std::wstring>{L"after.bin"});

    std::vector<std::wstring> lines = ExtractionLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], NameLine(1, 2, folder, 2500));
    EXPECT_EQ(lines[5], TotalLine(2));
    std::vector<std::wstring> errors = FileErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(folder), std::wstring::npos) << errors[0];
}

class EntryCountTest : public ExtractTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(EntryCountTest, ZeroOrLessExtractsNothingAndSucceeds) {
    TestPackage contents;
    contents.entries.push_back({"never.bin", MakeData(100, 1)});
    contents.overrideCount = true;
    contents.entryCount = GetParam();
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    EXPECT_EQ(unpack.GetSuccess(), 1);
    EXPECT_EQ(ExtractionLines(), std::vector<std::wstring>{TotalLine(0)});
    // The folder is left for the driver's own call to prepare.
    EXPECT_FALSE(CUtility::FileExists(folder));
}

INSTANTIATE_TEST_SUITE_P(Table, EntryCountTest, ::testing::Values(0, -1, INT32_MIN));

// Names that would write outside the unpack folder are refused like a bad
// path; their data is skipped and the next entry still lands.
class UnsafeNameTest : public ExtractTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnsafeNameTest, IsRefusedAndSkipped) {
    TestPackage contents;
    contents.entries.push_back({"before.bin", MakeData(100, 1)});
    contents.entries.push_back({GetParam(), MakeData(3333, 2)});
    contents.entries.push_back({"after.bin", MakeData(1500, 3)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    ExpectFile(L"before.bin", contents.entries[0].data);
    ExpectFile(L"after.bin", contents.entries[2].data);
    std::vector<std::wstring> expectedListing = {L"after.bin", L"before.bin"};
    EXPECT_EQ(FolderListing(folder), expectedListing);

    std::wstring parent = Parent(folder);
    EXPECT_FALSE(CUtility::FileExists(parent + L"\\evil.txt"));
    EXPECT_FALSE(CUtility::FileExists(Parent(parent) + L"\\evil.txt"));
    EXPECT_FALSE(CUtility::FileExists(L"C:\\unpacker-tests\\evil.txt"));
    EXPECT_FALSE(CUtility::FileExists(L"C:\\evil.txt"));
    EXPECT_FALSE(CUtility::FileExists(folder + L"sub"));

    std::vector<std::wstring> errors = FileErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(folder), std::wstring::npos) << errors[0];
    EXPECT_EQ(ExtractionLines().back(), TotalLine(3));
}

INSTANTIATE_TEST_SUITE_P(Table, UnsafeNameTest,
                         ::testing::Values("..\\evil.txt", "../evil.txt", "..\\..\\evil.txt", "sub\\evil.txt",
                                           "sub/evil.txt", "C:\\unpacker-tests\\evil.txt", "C:evil.txt",
                                           "\\evil.txt", "\\\\?\\C:\\unpacker-tests\\evil.txt",
                                           "\\\\.\\C:\\unpacker-tests\\evil.txt", "..", ".", "NUL", "CON.txt",
                                           "evil.txt:stream", "evil.txt.", "evil.txt "));

TEST_F(ExtractTest, AnOldFolderIsEmptiedAfterItsHostLogsAreSavedOneLevelUp) {
    std::wstring parent = Parent(folder);
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (folder + L"old\\deeper").c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WriteText(folder + L"aulog.txt", "log of the last upgrade"));
    ASSERT_TRUE(WriteText(folder + L"aucab.txt", "cab log of the last upgrade"));
    ASSERT_TRUE(WriteText(folder + L"junk.bin", "junk"));
    ASSERT_TRUE(WriteText(folder + L"old\\deeper\\file.bin", "old"));
    ASSERT_TRUE(WriteText(parent + L"\\aulog.txt", "an older copy"));

    TestPackage contents;
    contents.entries.push_back({"package1.cab", MakeData(4096, 7)});
    WritePackage(contents);
    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);

    Bytes saved;
    ASSERT_TRUE(ReadBytes(parent + L"\\aulog.txt", saved));
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "log of the last upgrade");
    ASSERT_TRUE(ReadBytes(parent + L"\\aucab.txt", saved));
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "cab log of the last upgrade");
    EXPECT_EQ(FolderListing(folder), std::vector<std::wstring>{L"package1.cab"});
    // Removing the old folder stepped out into its parent, and stays there.
    EXPECT_EQ(CurrentDirectory(), parent);
}

TEST_F(ExtractTest, AnOldFolderWithoutHostLogsIsEmptiedWithoutCopies) {
    std::wstring parent = Parent(folder);
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WriteText(folder + L"junk.bin", "junk"));

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.GetUnPackPath(), folder);
    EXPECT_TRUE(FolderListing(folder).empty());
    EXPECT_FALSE(CUtility::FileExists(parent + L"\\aulog.txt"));
    EXPECT_FALSE(CUtility::FileExists(parent + L"\\aucab.txt"));
}

// A read-only file keeps the old folder from being removed: every attempt to
// create it then reports that it exists, and the old folder is used as it is.
TEST_F(ExtractTest, AnOldFolderThatCannotBeEmptiedIsUsedAsItIs) {
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WriteText(folder + L"locked.txt", "locked"));
    ASSERT_TRUE(WriteText(folder + L"junk.bin", "junk"));
    ASSERT_TRUE(::SetFileAttributesW((folder + L"locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    TestPackage contents;
    contents.entries.push_back({"package1.cab", MakeData(2000, 5)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    std::vector<std::wstring> expectedListing = {L"locked.txt", L"package1.cab"};
    EXPECT_EQ(FolderListing(folder), expectedListing);
    ExpectFile(L"package1.cab", contents.entries[0].data);
}

TEST_F(ExtractTest, NoOldFolderLeavesTheCurrentDirectoryAlone) {
    ASSERT_FALSE(CUtility::FileExists(Parent(Parent(folder))));
    std::wstring before = CurrentDirectory();
    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.GetUnPackPath(), folder);
    EXPECT_TRUE(CUtility::FileExists(folder));
    EXPECT_EQ(CurrentDirectory(), before);
}

TEST_F(ExtractTest, ASecondCallTouchesNothing) {
    CUnPack unpack(packagePath);
    std::wstring first = unpack.GetUnPackPath();
    ASSERT_TRUE(WriteText(first + L"aulog.txt", "written after the first call"));
    std::wstring before = CurrentDirectory();

    EXPECT_EQ(unpack.GetUnPackPath(), first);
    EXPECT_TRUE(CUtility::FileExists(first + L"aulog.txt"));
    EXPECT_FALSE(CUtility::FileExists(Parent(first) + L"\\aulog.txt"));
    EXPECT_EQ(CurrentDirectory(), before);
}

// The output path is the folder plus the name; at 260 characters or more it
// is refused before the platform sees it, one character less still works.
TEST_F(ExtractTest, AnOutputPathOf260CharactersOrMoreIsRefused) {
    size_t room = MAX_PATH - folder.size();
    ASSERT_GT(room, 1u);
    ASSERT_LT(room, package::kNameSize);
    std::string fits(room - 1, 'f');
    std::string tooLong(room, 'l');
    TestPackage contents;
    contents.entries.push_back({tooLong, MakeData(1200, 1)});
    contents.entries.push_back({fits, MakeData(1300, 2)});
    contents.entries.push_back({"after.bin", MakeData(10, 3)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    ExpectFile(Narrow(fits), contents.entries[1].data);
    ExpectFile(L"after.bin", contents.entries[2].data);
    std::vector<std::wstring> errors = FileErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(folder + Narrow(tooLong)), std::wstring::npos);
}

// A name field without a NUL is read as its 260 bytes and no further.
TEST_F(ExtractTest, ANameWithoutTerminatorIsBoundedToItsField) {
    TestPackage contents;
    contents.entries.push_back({std::string(package::kNameSize, 'n'), Bytes(600, 'X')});
    contents.entries.push_back({"after.bin", MakeData(10, 3)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    ExpectFile(L"after.bin", contents.entries[1].data);
    std::vector<std::wstring> lines = ExtractionLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], NameLine(1, 2, folder + std::wstring(package::kNameSize, L'n'), 600));
}

// Record 2 is read across the end of the file: 1 to 283 bytes end the package.
TEST_F(ExtractTest, ARecordCutOffEndsThePackage) {
    TestPackage contents;
    TestEntry first{"first.bin", MakeData(100, 1), true, 150};
    contents.entries.push_back(first);
    contents.overrideCount = true;
    contents.entryCount = 2;
    Bytes file = BuildPackage(contents);
    ASSERT_TRUE(WriteBytes(packagePath, file));

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    // The claimed 150 bytes: the entry's 100 and 50 of filler and trailer.
    Bytes expected = first.data;
    expected.insert(expected.end(), file.begin() + 1024 + 284 + 100, file.begin() + 1024 + 284 + 150);
    ExpectFile(L"first.bin", expected);
    std::vector<std::wstring> lines = ExtractionLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), TotalLine(1));
    EXPECT_EQ(FolderListing(folder), std::vector<std::wstring>{L"first.bin"});
}

// Data that ends early gives a shorter file, and the package ends there; a
// size far beyond the file must not cost an empty read per kilobyte.
TEST_F(ExtractTest, DataEndingEarlyGivesAShorterFile) {
    Bytes file = BuildPackage(TestPackage{});
    file.resize(1024);
    Bytes record = MakeRecord(2, 1ull << 30, "short.bin");
    Bytes data = MakeData(5000, 4);
    file.insert(file.end(), record.begin(), record.end());
    file.insert(file.end(), data.begin(), data.end());
    // A trailer behind the data whose offset names record 1.
    Bytes trailer(package::kRecordSize, 0);
    package::WriteLE64(&trailer[8], 1024);
    file.insert(file.end(), trailer.begin(), trailer.end());
    ASSERT_TRUE(WriteBytes(packagePath, file));

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 1);
    Bytes expected = data;
    expected.insert(expected.end(), trailer.begin(), trailer.end());
    ExpectFile(L"short.bin", expected);
    EXPECT_EQ(ExtractionLines().back(), TotalLine(1));
}

TEST_F(ExtractTest, NoPackageTouchesNothing) {
    TestPackage contents;
    contents.entries.push_back({"x.bin", MakeData(10, 1)});
    contents.overrideHeaderOffset = true;
    contents.headerOffset = 0;
    WritePackage(contents);

    CUnPack unpack(packagePath);
    EXPECT_EQ(unpack.UnPackAndWait(), 0);
    EXPECT_EQ(unpack.GetSuccess(), 0);
    EXPECT_TRUE(ExtractionLines().empty());
    EXPECT_FALSE(CUtility::FileExists(folder));
}

TEST_F(ExtractTest, AMissingPackageFileFails) {
    CUnPack unpack(scratch + L"\\missing.exe");
    EXPECT_EQ(unpack.UnPackFiles(), 0);
    EXPECT_EQ(unpack.GetSuccess(), 0);
    EXPECT_FALSE(CUtility::FileExists(folder));
}

// The unpack folder in a temporary folder, with nothing there before it, a
// folder holding a planted VYAuto.exe, or one that cannot be emptied (a
// read-only file): never reused, and made only with the owner and access list
// read back here. Wine 8 neither enforces nor stores them (it keeps Unix mode
// bits, and reads the owner back as the running account): there the folder
// is refused as not as made, and the made branch runs on Windows only.
class TempUnPackPathTest : public ExtractTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(TempUnPackPathTest, IsMadeAfreshForAdministratorsOnly) {
    std::wstring temp = scratch + L"\\", planted = temp + L"unpackautoupdate\\VYAuto.exe";
    ASSERT_TRUE(GetParam() == 0 || (::CreateDirectoryW((temp + L"unpackautoupdate").c_str(), nullptr) &&
                                    WriteText(planted, "x") && ::SetFileAttributesW(planted.c_str(), GetParam())));
    CUnPack unpack;
    bool made = unpack.MakeTempUnPackPath(temp);
    EXPECT_EQ(made, !unpack.IsUnPackPathRefused());
    EXPECT_EQ(CUtility::FileExists(planted), GetParam() == FILE_ATTRIBUTE_READONLY);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    const SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ASSERT_EQ(::GetNamedSecurityInfoW(unpack.GetUnPackPath().c_str(), SE_FILE_OBJECT, asked, nullptr, nullptr, nullptr,
                                      nullptr, &descriptor), ERROR_SUCCESS);
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, asked, &text, nullptr));
    bool asMade = std::wstring(text) == L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    EXPECT_EQ(made, asMade && GetParam() != FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(asMade || ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) << std::wstring(text);
    ::LocalFree(text);
    ::LocalFree(descriptor);
}

INSTANTIATE_TEST_SUITE_P(Before, TempUnPackPathTest, ::testing::Values(0, FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY));

TEST(UnPackThreadProcTest, WithoutAnObjectReturnsZero) { EXPECT_EQ(CUnPack::UnPackThreadProc(nullptr), 0u); }

// ---- The disk-space refusal ----------------------------------------------------

std::wstring ProductString(UINT id) {
    std::wstring exe = CUtility::GetModulePath();
    CUtility::TrimPath(exe, 2);
    exe += L"\\app\\UnPackFile.exe";
    HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return std::wstring();
    const wchar_t* text = nullptr;
    int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    std::wstring result = length > 0 ? std::wstring(text, length) : std::wstring();
    ::FreeLibrary(module);
    return result;
}

// The watcher must be able to see an icon and further buttons, or its
// "plain OK box" verdict below would prove nothing.
TEST(BoxWatcherTest, SeesIconAndButtons) {
    BoxWatcher watcher;
    int pressed = ::MessageBoxW(nullptr, L"probe text", L"probe caption", MB_ICONINFORMATION | MB_OKCANCEL);
    watcher.Stop();
    EXPECT_EQ(pressed, IDOK);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    const SeenBox& box = watcher.Boxes()[0];
    EXPECT_EQ(box.caption, L"probe caption");
    EXPECT_EQ(box.text, L"probe text");
    EXPECT_TRUE(box.hasIcon);
    EXPECT_EQ(box.buttons, (std::vector<int>{IDOK, IDCANCEL}));
}

class DiskSpaceTest : public ExtractTest, public ::testing::WithParamInterface<bool> {};

// An entry larger than the free space of the current directory's volume: the
// worker shows the plain OK box and extraction fails, keeping what it wrote.
TEST_P(DiskSpaceTest, RefusesWithTheBox) {
    bool refuseFirst = GetParam();
    std::wstring caption = ProductString(130);
    std::wstring text = ProductString(131);
    ASSERT_FALSE(caption.empty());
    ASSERT_FALSE(text.empty());

    TestPackage contents;
    if (!refuseFirst) contents.entries.push_back({"small.bin", MakeData(10, 1)});
    contents.entries.push_back({"huge.bin", MakeData(64, 2), true, 1ull << 50});
    contents.entries.push_back({"never.bin", MakeData(10, 3)});
    WritePackage(contents);

    CUnPack unpack(packagePath);
    BoxWatcher watcher;
    int result = unpack.UnPackAndWait();
    watcher.Stop();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(unpack.GetSuccess(), 0);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    const SeenBox& box = watcher.Boxes()[0];
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text, text);
    EXPECT_FALSE(box.hasIcon);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_NE(box.threadId, ::GetCurrentThreadId()) << "the box belongs to the worker thread";

    std::vector<std::wstring> lines = ExtractionLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kLine + text);
    EXPECT_TRUE(IsFreeSpaceLine(lines[lines.size() - 2], 1ull << 50)) << lines[lines.size() - 2];
    EXPECT_EQ(CountStartingWith(lines, kLine + L"UnPack total"), 0u);
    if (refuseFirst) {
        // The check comes before the folder is first asked for.
        EXPECT_FALSE(CUtility::FileExists(folder));
    } else {
        ExpectFile(L"small.bin", contents.entries[0].data);
        EXPECT_FALSE(CUtility::FileExists(folder + L"huge.bin"));
        EXPECT_FALSE(CUtility::FileExists(folder + L"never.bin"));
    }
}

INSTANTIATE_TEST_SUITE_P(FirstOrLater, DiskSpaceTest, ::testing::Bool());

}  // namespace
