// A disk that fills up in the middle of the copy. The free-space check looks at
// the current directory's volume, which has room; the unpack folder lies on a
// volume of 1 MiB, mounted (tmpfs) at the maker's folder below the 32-bit
// programs folder, and the package holds one entry of 2 MiB. The copy fails,
// the run says so and runs the fix-up, and nothing crashes. Mounting needs the
// machine's root account (as CI has); where it is refused, the test is skipped.
#include "tests/harness/Scenario.h"
#include "tools/package/PackageWriter.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

using namespace scenario;

namespace {

const ULONGLONG kSmallVolume = 1024 * 1024;
const size_t kEntrySize = 2 * 1024 * 1024;

int CountLinesStarting(const std::vector<LogLine>& log, const std::wstring& prefix) {
    int count = 0;
    for (const LogLine& line : log)
        if (line.message.compare(0, prefix.size(), prefix) == 0) ++count;
    return count;
}

// The size of the volume a folder lies on; 0 when it cannot be told.
ULONGLONG VolumeSize(const std::wstring& folder) {
    ULARGE_INTEGER available = {}, total = {}, free = {};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free)) return 0;
    return total.QuadPart;
}

bool IsSmallVolume(const std::wstring& folder) {
    ULONGLONG size = VolumeSize(folder);
    return size != 0 && size <= 2 * kSmallVolume;
}

// A tmpfs of 1 MiB mounted at a folder for the object's lifetime. Detached
// lazily on the way out, so that a handle Wine still holds cannot keep it.
class SmallVolume {
public:
    SmallVolume(const std::wstring& folder, const std::string& options) : folder_(folder) {
        Unmount(folder_);  // one left behind by an interrupted run
        if (!CreateFolders(folder_)) return;
        std::string unixFolder = UnixPathOf(folder_);
        if (unixFolder.empty()) return;
        if (!StartUnixProgram(L"/bin/mount", "-t tmpfs -o " + options + " upf-small-volume \"" + unixFolder + "\""))
            return;
        mounted_ = WaitUntil([&] { return IsSmallVolume(folder_); }, 10000);
    }
    ~SmallVolume() { Unmount(folder_); }
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;

    bool IsMounted() const { return mounted_; }

    // True when no small volume is mounted there afterwards.
    static bool Unmount(const std::wstring& folder) {
        if (!IsSmallVolume(folder)) return true;
        std::string unixFolder = UnixPathOf(folder);
        if (unixFolder.empty() || !StartUnixProgram(L"/bin/umount", "-l \"" + unixFolder + "\"")) return false;
        return WaitUntil([&] { return !IsSmallVolume(folder); }, 10000);
    }

private:
    std::wstring folder_;
    bool mounted_ = false;
};

class DiskFullTest : public ::testing::Test {
protected:
    void SetUp() override { ResetWorld(); }
    void TearDown() override { ResetWorld(); }
    void ResetWorld() {
        EXPECT_TRUE(SmallVolume::Unmount(MakerProgramsFolder())) << "the small volume could not be unmounted";
        ResetUpgradeWorld();
    }

    // A 2 MiB entry behind the unpacker, delivered in mox\download\data.
    std::wstring Deliver(const std::wstring& root) {
        std::vector<unsigned char> bytes(kEntrySize);
        unsigned seed = 5;
        for (unsigned char& byte : bytes) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<unsigned char>(seed >> 16);
        }
        std::wstring entry = root + L"\\package1.cab";
        EXPECT_TRUE(WriteFileBytes(entry, bytes));
        return DeliverPackage(root, entry);
    }
};

struct FullRow {
    const char* what;
    const char* mountOptions;
    bool manual;
    std::wstring refusal;  // the driver's line after the caller's name
    bool copyStarted;      // the output file was created and the copy failed in it
};

TEST_F(DiskFullTest, TheCopyFailsCleanlyWhenTheVolumeFillsUp) {
    const FullRow rows[] = {
        {"fills up mid-copy, auto", "size=1m", false, L"upgrade skip unpack not success", true},
        {"fills up mid-copy, manual", "size=1m", true, L"upgrade skip unpack not success", true},
        // A read-only volume: the unpack folder cannot even be created, the
        // entry's file cannot be opened (logged, passed over), and the driver
        // then finds the folder missing.
        {"folder cannot be created, auto", "size=1m,ro", false, L"upgrade skip path not exist " + UnpackFolder(),
         false},
    };
    for (const FullRow& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        SmallVolume volume(MakerProgramsFolder(), row.mountOptions);
        if (!volume.IsMounted())
            GTEST_SKIP() << "a small tmpfs volume could not be mounted (mount needs the root account): "
                         << Narrow(MakerProgramsFolder());

        std::wstring root = ScratchFolder(L"diskfull");
        std::wstring exe = Deliver(root);
        ASSERT_TRUE(SetHklmString(kHostKey, L"Version", L"3.5.0.0"));
        ASSERT_TRUE(SetHklmString(kPlvaProduct, L"InstallType", L"Silent"));
        // The current directory's volume has room for the entry.
        ULARGE_INTEGER available = {}, total = {}, free = {};
        ASSERT_TRUE(GetDiskFreeSpaceExW(root.c_str(), &available, &total, &free));
        ASSERT_GT(free.QuadPart, static_cast<ULONGLONG>(kEntrySize));

        RunOptions options;
        options.exe = exe;
        if (!row.manual) options.args = {L"/S"};
        options.workingFolder = root;
        options.timeoutMs = 180000;
        RunResult result = scenario::Run(options);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(0u, result.exitCode);
        const std::vector<LogLine>& log = result.log;

        // The free-space check passed (no disk-space box), the copy began and
        // failed, and the failure was logged.
        EXPECT_EQ(1, CountLinesStarting(log, L"[CUnPack::UnPackFiles]  FreeSpace:")) << DescribeLog(log);
        EXPECT_EQ(1, CountLinesStarting(log, L"[CUnPack::UnPackFiles] (1/1)UnPack file name:" + UnpackFolder() +
                                                 L"package1.cab (2097152)"))
            << DescribeLog(log);
        EXPECT_EQ(1, CountLinesStarting(log, L"[CUtility::FileException] ")) << DescribeLog(log);
        EXPECT_EQ(0, CountLinesStarting(log, L"[CUnPack::UnPackFiles] UnPack count:")) << DescribeLog(log);
        EXPECT_EQ(row.copyStarted ? 0 : 1, CountLinesStarting(log, L"[CUnPack::UnPackFiles] UnPack total 1 files."))
            << DescribeLog(log);
        EXPECT_EQ(1, CountLinesStarting(log, std::wstring(kCaller) + row.refusal)) << DescribeLog(log);
        EXPECT_EQ(0, CountLinesStarting(log, L"[CUnPackFileApp::ExecuteCommand]")) << DescribeLog(log);
        EXPECT_EQ(1, CountLinesStarting(log, L"[CUnPackFileApp::HackForNDUSilentInstallFail] upgrade skip, hack platform PLVA00"))
            << DescribeLog(log);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(L"[CUnPackFileApp::HackForNDUSilentInstallFail] autoinstaller prepare to exit", log.back().message);
        std::wstring installType = L"unread";
        EXPECT_TRUE(ReadHklmString(kPlvaProduct, L"InstallType", installType));
        EXPECT_EQ(L"", installType);

        if (row.manual) {
            ASSERT_EQ(1u, result.boxes.size());
            EXPECT_EQ(L"Update failed.", result.boxes[0].text);
            EXPECT_EQ(L"Kestrune Ostrel Auto Installer", result.boxes[0].caption);
        } else {
            EXPECT_TRUE(result.boxes.empty());
        }
        EXPECT_TRUE(WaitUntil([&] { return !PathExists(root + L"\\mox\\download"); }, 30000));

        EXPECT_TRUE(SmallVolume::Unmount(MakerProgramsFolder()));
    }
}

}  // namespace
