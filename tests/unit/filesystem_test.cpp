// The file-system helpers against real folders of the Wine prefix: path
// trimming, existence, and the folder-tree removal with its guards.
#include "tests/unit/unpack_test_support.h"
#include "utility/FileSystem.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

namespace {

using namespace unpacktest;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// ---- TrimPath ----------------------------------------------------------------

struct TrimCase {
    const wchar_t* path;
    int n;
    const wchar_t* expected;
};

class TrimPathTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimPathTest, CutsAtTheLastBackslashNTimes) {
    std::wstring path = GetParam().path;
    CUtility::TrimPath(path, GetParam().n);
    EXPECT_EQ(path, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, TrimPathTest,
                         ::testing::Values(TrimCase{L"C:\\a\\b\\c.exe", 1, L"C:\\a\\b"},
                                           TrimCase{L"C:\\a\\b\\c.exe", 2, L"C:\\a"},
                                           TrimCase{L"C:\\a\\b\\c.exe", 3, L"C:"},
                                           TrimCase{L"C:\\a\\b\\c.exe", 4, L"C:"},
                                           TrimCase{L"C:\\a\\b\\c.exe", 0, L"C:\\a\\b\\c.exe"},
                                           TrimCase{L"no-backslash.txt", 1, L"no-backslash.txt"},
                                           TrimCase{L"", 1, L""},
                                           TrimCase{L"C:\\", 1, L"C:"},
                                           TrimCase{L"C:\\a\\b\\", 1, L"C:\\a\\b"},
                                           TrimCase{L"\\\\server\\share\\f", 2, L"\\\\server"},
                                           TrimCase{L"C:/a/b", 1, L"C:/a/b"}));

// ---- Existence and single removals ------------------------------------------

TEST(FileSystemTest, FileExistsForFilesAndFoldersOnly) {
    std::wstring root = ScratchFolder(L"exists");
    ASSERT_TRUE(WriteText(root + L"\\file.txt", "x"));
    EXPECT_TRUE(CUtility::FileExists(root));
    EXPECT_TRUE(CUtility::FileExists(root + L"\\"));
    EXPECT_TRUE(CUtility::FileExists(root + L"\\file.txt"));
    EXPECT_FALSE(CUtility::FileExists(root + L"\\missing.txt"));
    EXPECT_FALSE(CUtility::FileExists(root + L"\\missing\\file.txt"));
    ForceRemoveTree(root);
}

TEST(FileSystemTest, RemovalsOfMissingPathsSucceed) {
    std::wstring root = ScratchFolder(L"missing");
    EXPECT_TRUE(CUtility::RemoveFile(root + L"\\nothing.txt"));
    EXPECT_TRUE(CUtility::RemoveFolder(root + L"\\nothing"));
    ForceRemoveTree(root);
}

TEST(FileSystemTest, RemoveFolderOnlyRemovesEmptyFolders) {
    std::wstring root = ScratchFolder(L"remove-folder");
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\full").c_str(), nullptr));
    ASSERT_TRUE(WriteText(root + L"\\full\\f.txt", "x"));
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\empty").c_str(), nullptr));

    EXPECT_FALSE(CUtility::RemoveFolder(root + L"\\full"));
    EXPECT_TRUE(Exists(root + L"\\full\\f.txt"));
    EXPECT_TRUE(CUtility::RemoveFolder(root + L"\\empty"));
    EXPECT_FALSE(Exists(root + L"\\empty"));
    ForceRemoveTree(root);
}

TEST(FileSystemTest, RemoveFileKeepsReadOnlyFiles) {
    std::wstring root = ScratchFolder(L"remove-file");
    ASSERT_TRUE(WriteText(root + L"\\plain.txt", "x"));
    ASSERT_TRUE(WriteText(root + L"\\locked.txt", "x"));
    ASSERT_TRUE(::SetFileAttributesW((root + L"\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_TRUE(CUtility::RemoveFile(root + L"\\plain.txt"));
    EXPECT_FALSE(Exists(root + L"\\plain.txt"));
    EXPECT_FALSE(CUtility::RemoveFile(root + L"\\locked.txt"));
    EXPECT_TRUE(Exists(root + L"\\locked.txt"));
    ForceRemoveTree(root);
}

// ---- DeleteFolderTree ----------------------------------------------------------

// A tree with nested folders, an empty folder, and hidden and system files.
void MakeTree(const std::wstring& root) {
    ::SHCreateDirectoryExW(nullptr, (root + L"\\a\\b\\c").c_str(), nullptr);
    ::SHCreateDirectoryExW(nullptr, (root + L"\\empty").c_str(), nullptr);
    WriteText(root + L"\\top.txt", "top");
    WriteText(root + L"\\a\\one.bin", "one");
    WriteText(root + L"\\a\\b\\two.bin", "two");
    WriteText(root + L"\\a\\b\\c\\three.bin", "three");
    WriteText(root + L"\\a\\hidden.txt", "h");
    ::SetFileAttributesW((root + L"\\a\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

class DeleteFolderTreeTest : public ::testing::TestWithParam<bool> {};

TEST_P(DeleteFolderTreeTest, RemovesTheWholeTreeWithOrWithoutTrailingBackslash) {
    std::wstring parent = ScratchFolder(L"tree");
    std::wstring root = parent + L"\\root";
    MakeTree(root);
    ASSERT_TRUE(WriteText(parent + L"\\sibling.txt", "stays"));
    ASSERT_TRUE(Exists(root + L"\\a\\b\\c\\three.bin"));

    CUtility::DeleteFolderTree(GetParam() ? root + L"\\" : root);

    EXPECT_FALSE(Exists(root));
    EXPECT_TRUE(Exists(parent + L"\\sibling.txt"));
    ForceRemoveTree(parent);
}

INSTANTIATE_TEST_SUITE_P(TrailingBackslash, DeleteFolderTreeTest, ::testing::Bool());

TEST(FileSystemTest, DeleteFolderTreeKeepsAReadOnlyFileAndTheFoldersAboveIt) {
    std::wstring parent = ScratchFolder(L"tree-readonly");
    std::wstring root = parent + L"\\root";
    MakeTree(root);
    ::SHCreateDirectoryExW(nullptr, (root + L"\\keep\\deeper").c_str(), nullptr);
    std::wstring locked = root + L"\\keep\\deeper\\locked.txt";
    ASSERT_TRUE(WriteText(locked, "locked"));
    ASSERT_TRUE(::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));

    CUtility::DeleteFolderTree(root);

    EXPECT_TRUE(Exists(locked));
    EXPECT_TRUE(Exists(root + L"\\keep\\deeper"));
    EXPECT_TRUE(Exists(root + L"\\keep"));
    EXPECT_TRUE(Exists(root));
    // Everything that was not in the way is gone.
    EXPECT_FALSE(Exists(root + L"\\a"));
    EXPECT_FALSE(Exists(root + L"\\empty"));
    EXPECT_FALSE(Exists(root + L"\\top.txt"));
    ForceRemoveTree(parent);
}

TEST(FileSystemTest, DeleteFolderTreeOfAMissingPathDoesNothing) {
    std::wstring parent = ScratchFolder(L"tree-missing");
    ASSERT_TRUE(WriteText(parent + L"\\stays.txt", "x"));
    CUtility::DeleteFolderTree(parent + L"\\nothing");
    CUtility::DeleteFolderTree(parent + L"\\nothing\\");
    EXPECT_TRUE(Exists(parent + L"\\stays.txt"));
    ForceRemoveTree(parent);
}

// An empty path would make "\*" the search, the root of the current drive.
TEST(FileSystemTest, DeleteFolderTreeOfAnEmptyPathDoesNothing) {
    std::wstring parent = ScratchFolder(L"tree-empty-path");
    ASSERT_TRUE(WriteText(parent + L"\\stays.txt", "x"));
    wchar_t saved[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(::SetCurrentDirectoryW(parent.c_str()));

    CUtility::DeleteFolderTree(L"");

    ::SetCurrentDirectoryW(saved);
    EXPECT_TRUE(Exists(parent + L"\\stays.txt"));
    EXPECT_TRUE(Exists(L"C:\\windows\\system32"));
    ForceRemoveTree(parent);
}

// ---- The order of the tree removal's calls ---------------------------------------
// Windows keeps a folder's search open until FindClose and accepts the folder's
// removal meanwhile, only marking it for deletion: the folder would stand while
// it is reported removed. Wine cannot show this on disk, since its FindNextFileW
// lets go of the folder once the listing reaches its end, so the walk runs here
// over a tree held in memory, with calls that know which searches are open.

struct FakeEntry {
    const wchar_t* name;
    DWORD attributes;
};

struct FakeTree {
    std::map<std::wstring, std::vector<FakeEntry>> folders;  // path without trailing backslash
    std::map<HANDLE, std::pair<std::wstring, size_t>> searches;  // open search: folder, next entry
    std::vector<std::wstring> removedFolders;
    std::vector<std::wstring> removedWhileSearched;
    size_t nextHandle = 0x100;
};

FakeTree* g_tree = nullptr;

std::wstring WithoutTrailingBackslash(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

bool FillFound(HANDLE search, LPWIN32_FIND_DATAW found) {
    auto& state = g_tree->searches[search];
    const std::vector<FakeEntry>& entries = g_tree->folders[state.first];
    // Every listing starts with "." and "..", as the platform's does.
    size_t index = state.second++;
    FakeEntry entry = index == 0   ? FakeEntry{L".", FILE_ATTRIBUTE_DIRECTORY}
                      : index == 1 ? FakeEntry{L"..", FILE_ATTRIBUTE_DIRECTORY}
                      : index - 2 < entries.size() ? entries[index - 2]
                                                   : FakeEntry{nullptr, 0};
    if (entry.name == nullptr) return false;
    *found = WIN32_FIND_DATAW();
    found->dwFileAttributes = entry.attributes;
    wcscpy(found->cFileName, entry.name);
    return true;
}

DWORD WINAPI FakeGetAttributes(LPCWSTR path) {
    return g_tree->folders.count(WithoutTrailingBackslash(path)) != 0 ? FILE_ATTRIBUTE_DIRECTORY : INVALID_FILE_ATTRIBUTES;
}

HANDLE WINAPI FakeFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
    std::wstring folder = pattern;
    folder.erase(folder.size() - 2);  // "\*"
    if (g_tree->folders.count(folder) == 0) return INVALID_HANDLE_VALUE;
    HANDLE search = reinterpret_cast<HANDLE>(g_tree->nextHandle++);
    g_tree->searches[search] = {folder, 0};
    FillFound(search, found);
    return search;
}

BOOL WINAPI FakeFindNext(HANDLE search, LPWIN32_FIND_DATAW found) {
    return g_tree->searches.count(search) != 0 && FillFound(search, found);
}

BOOL WINAPI FakeFindClose(HANDLE search) { return g_tree->searches.erase(search) != 0; }

bool FakeRemoveFolder(const std::wstring& path) {
    std::wstring folder = WithoutTrailingBackslash(path);
    for (const auto& search : g_tree->searches)
        if (search.second.first == folder) g_tree->removedWhileSearched.push_back(folder);
    g_tree->removedFolders.push_back(folder);
    return true;
}

bool FakeRemoveFile(const std::wstring&) { return true; }

TEST(FileSystemTest, DeleteFolderTreeEndsEachSearchBeforeRemovingItsFolder) {
    const filesystem::TreeCalls calls = {FakeGetAttributes, FakeFindFirst,    FakeFindNext,
                                         FakeFindClose,     FakeRemoveFolder, FakeRemoveFile};
    struct Case {
        const wchar_t* path;
        std::map<std::wstring, std::vector<FakeEntry>> folders;
        std::vector<std::wstring> removedFolders;  // in order
    };
    const DWORD dir = FILE_ATTRIBUTE_DIRECTORY;
    const Case cases[] = {
        {L"C:\\t", {{L"C:\\t", {}}}, {L"C:\\t"}},
        {L"C:\\t", {{L"C:\\t", {{L"f.txt", FILE_ATTRIBUTE_NORMAL}}}}, {L"C:\\t"}},
        {L"C:\\t\\",
         {{L"C:\\t", {{L"a", dir}, {L"f.txt", FILE_ATTRIBUTE_NORMAL}, {L"e", dir}}},
          {L"C:\\t\\a", {{L"b", dir}, {L"g.bin", FILE_ATTRIBUTE_HIDDEN}}},
          {L"C:\\t\\a\\b", {}},
          {L"C:\\t\\e", {}}},
         {L"C:\\t\\a\\b", L"C:\\t\\a", L"C:\\t\\e", L"C:\\t"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "tree of " << c.folders.size() << " folders at " << std::string(c.path, c.path + wcslen(c.path)));
        FakeTree tree;
        tree.folders = c.folders;
        g_tree = &tree;
        filesystem::DeleteFolderTree(c.path, calls);
        g_tree = nullptr;
        EXPECT_TRUE(tree.removedWhileSearched.empty()) << "a folder was removed while its search was open";
        EXPECT_TRUE(tree.searches.empty()) << "a search was never ended";
        EXPECT_EQ(c.removedFolders, tree.removedFolders);
    }
}

// A link inside the tree points outside it: the walk must remove at most the
// link, never what it points to.
class LinkedTree : public ::testing::Test {
protected:
    void SetUp() override {
        parent = ScratchFolder(L"tree-links");
        root = parent + L"\\root";
        outside = parent + L"\\outside";
        MakeTree(root);
        ::SHCreateDirectoryExW(nullptr, (outside + L"\\inner").c_str(), nullptr);
        WriteText(outside + L"\\keep.txt", "keep");
        WriteText(outside + L"\\inner\\deep.txt", "deep");
        WriteText(parent + L"\\target.txt", "target");
    }
    void TearDown() override { ForceRemoveTree(parent); }

    std::wstring parent, root, outside;
};

TEST_F(LinkedTree, DoesNotDescendIntoAFolderLink) {
    if (!MakeSymbolicLink(root + L"\\a\\link", outside, true))
        GTEST_SKIP() << "no way to make a folder link that shows as a reparse point here";

    CUtility::DeleteFolderTree(root);

    EXPECT_TRUE(Exists(outside + L"\\keep.txt"));
    EXPECT_TRUE(Exists(outside + L"\\inner\\deep.txt"));
    // On Windows the link itself goes and the tree with it. Wine's
    // RemoveDirectoryW follows a Unix link (error 145), so there the link, and
    // the folders above it, stay.
    EXPECT_FALSE(Exists(root + L"\\a\\b"));
    EXPECT_FALSE(Exists(root + L"\\top.txt"));
}

TEST_F(LinkedTree, RemovesAFileLinkButNotItsTarget) {
    if (!MakeSymbolicLink(root + L"\\a\\file-link.txt", parent + L"\\target.txt", false))
        // Wine shows a Unix link to a file as a plain file, and its DeleteFileW
        // removes the target, not the link: only Windows can run this case.
        GTEST_SKIP() << "no file link that shows as a reparse point here (Wine: a Unix file link looks like a file)";

    CUtility::DeleteFolderTree(root);

    EXPECT_TRUE(Exists(parent + L"\\target.txt"));
    EXPECT_FALSE(Exists(root));
}

TEST_F(LinkedTree, ALinkGivenAsTheTreeIsNotWalked) {
    std::wstring link = parent + L"\\link-root";
    if (!MakeSymbolicLink(link, outside, true))
        GTEST_SKIP() << "no way to make a folder link that shows as a reparse point here";

    CUtility::DeleteFolderTree(link);
    CUtility::DeleteFolderTree(link + L"\\");

    EXPECT_TRUE(Exists(outside + L"\\keep.txt"));
    EXPECT_TRUE(Exists(outside + L"\\inner\\deep.txt"));
}

// ---- The mount-point guard ---------------------------------------------------

struct TextCase {
    const wchar_t* path;
    bool guarded;
};

class GuardedPathTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(GuardedPathTextTest, OnlyTheExactCapitalisationIsGuarded) {
    EXPECT_EQ(filesystem::IsGuardedPathText(GetParam().path), GetParam().guarded) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Table, GuardedPathTextTest,
                         ::testing::Values(TextCase{L"C:\\ProgramData\\Kestrune", true},
                                           TextCase{L"C:\\ProgramData", true},
                                           TextCase{L"D:\\backup\\ProgramDataOld\\x", true},
                                           TextCase{L"C:\\programdata\\Kestrune", false},
                                           TextCase{L"C:\\PROGRAMDATA\\Kestrune", false},
                                           TextCase{L"C:\\Programdata\\Kestrune", false},
                                           TextCase{L"C:\\Program Data\\Kestrune", false},
                                           TextCase{L"C:\\Program Files (x86)\\Kestrune", false},
                                           TextCase{L"", false}));

struct ReparseCase {
    const char* what;
    std::vector<uint8_t> data;
    bool mountPoint;
};

// Reparse data as FSCTL_GET_REPARSE_POINT returns it: tag, data length,
// reserved, then the tag's own data.
std::vector<uint8_t> ReparseData(uint32_t tag, size_t total) {
    std::vector<uint8_t> data(total, 0);
    if (total >= 4) package::WriteLE32(data.data(), tag);
    if (total >= 6) {
        data[4] = static_cast<uint8_t>(total - 8);
        data[5] = static_cast<uint8_t>((total - 8) >> 8);
    }
    return data;
}

class MountPointDataTest : public ::testing::TestWithParam<ReparseCase> {};

TEST_P(MountPointDataTest, OnlyTheMountPointTagCounts) {
    const ReparseCase& c = GetParam();
    EXPECT_EQ(filesystem::IsMountPointReparseData(c.data.empty() ? nullptr : c.data.data(), c.data.size()),
              c.mountPoint)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MountPointDataTest,
    ::testing::Values(ReparseCase{"junction", ReparseData(0xA0000003u, 64), true},
                      ReparseCase{"junction header only", ReparseData(0xA0000003u, 4), true},
                      ReparseCase{"symbolic link", ReparseData(0xA000000Cu, 64), false},
                      ReparseCase{"deduplicated file", ReparseData(0x80000013u, 64), false},
                      ReparseCase{"cloud file", ReparseData(0x9000001Au, 64), false},
                      ReparseCase{"tag bytes reversed", {0xA0, 0x00, 0x00, 0x03, 0, 0, 0, 0}, false},
                      ReparseCase{"three bytes", {0x03, 0x00, 0x00}, false},
                      ReparseCase{"no data", {}, false}));

TEST(FileSystemTest, IsMountPointIsFalseForPathsThatAreNoJunction) {
    // Wine cannot make junctions, so a real true result is out of reach here;
    // the decision itself is covered on reparse data above.
    EXPECT_FALSE(CUtility::IsMountPoint(L"C:\\ProgramData"));
    EXPECT_FALSE(CUtility::IsMountPoint(L"C:\\ProgramData\\no such folder"));
    EXPECT_FALSE(CUtility::IsMountPoint(L"C:\\windows"));
    EXPECT_FALSE(CUtility::IsMountPoint(L""));
}

// A link below ProgramData that is not a mount point is not guarded: the
// removal goes ahead, and its target still survives the walk.
TEST(FileSystemTest, ALinkBelowProgramDataIsNotGuardedButNotEntered) {
    std::wstring parent = L"C:\\ProgramData\\unpacker-tests";
    ForceRemoveTree(parent);
    ::SHCreateDirectoryExW(nullptr, (parent + L"\\root").c_str(), nullptr);
    ::SHCreateDirectoryExW(nullptr, (parent + L"\\outside").c_str(), nullptr);
    WriteText(parent + L"\\outside\\keep.txt", "keep");
    if (!MakeSymbolicLink(parent + L"\\root\\link", parent + L"\\outside", true)) {
        ForceRemoveTree(parent);
        GTEST_SKIP() << "no way to make a folder link that shows as a reparse point here";
    }

    // Windows reports the symbolic-link tag and Wine no reparse data at all
    // (error 4390): neither is a mount point.
    EXPECT_FALSE(CUtility::IsMountPoint(parent + L"\\root\\link"));
    CUtility::DeleteFolderTree(parent + L"\\root");
    EXPECT_TRUE(Exists(parent + L"\\outside\\keep.txt"));
    ForceRemoveTree(parent);
}

}  // namespace
