// The file-system helpers against real folders of the Wine prefix: path
// trimming, existence, and the folder-tree removal with its guards.
#include "tests/unit/unpack_test_support.h"
#include "utility/FileSystem.h"
#include "utility/Utility.h"

#include <gtest/gtest.h>

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
