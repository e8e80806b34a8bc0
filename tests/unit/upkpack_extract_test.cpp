// upkpack's extraction in the Windows build, where --out may name a drive
// that does not exist.
#include "tests/unit/unpack_test_support.h"
#include "tools/package/PackageExtractor.h"
#include "tools/package/PackageWriter.h"

#include <gtest/gtest.h>

namespace {

using namespace unpacktest;

struct ExtractJob {
    std::string packaged, out;
    package::Extraction result;
    bool extracted = true;
};

DWORD WINAPI RunJob(void* parameter) {
    auto* job = static_cast<ExtractJob*>(parameter);
    job->extracted = package::ExtractPackage(job->packaged, job->out, true, job->result);
    return 0;
}

// Looking for the folders to make, extract climbs from --out to the first
// one that exists; on a missing drive it reaches the root, its own parent.
TEST(UpkpackExtract, RefusesAFolderOnAMissingDriveAndReturns) {
    const std::wstring dir = ScratchFolder(L"upkpack-drive");
    const std::string root(dir.begin(), dir.end());  // ASCII
    // The stand-in image with the fields upkpack reads besides the unpacker's:
    // a full optional header, its 16 directories, and headers that end the image.
    Bytes stub = MakeImage(1024, 0, 0);
    stub[kPeOffset + 20] = 224;
    package::WriteLE32(&stub[kPeOffset + 24 + 92], 16);
    package::WriteLE32(&stub[kPeOffset + 24 + 60], 1024);
    ASSERT_TRUE(WriteBytes(dir + L"\\stub.exe", stub) && WriteBytes(dir + L"\\package1.cab", MakeData(100, 1)));
    std::string error;
    ASSERT_TRUE(package::PackFiles(root + "\\stub.exe", {root + "\\package1.cab"}, root + "\\p.exe", error,
                                  package::UncheckedForTests()))
        << error;
    char letter = 'Z';
    while (letter > 'D' && (::GetLogicalDrives() & (1u << (letter - 'A'))) != 0) --letter;
    ExtractJob job;
    job.packaged = root + "\\p.exe";
    job.out = std::string(1, letter) + ":\\unpacked\\here";
    ScopedHandle thread(::CreateThread(nullptr, 0, RunJob, &job, 0, nullptr));
    if (::WaitForSingleObject(thread.Get(), 30000) == WAIT_TIMEOUT) {
        ADD_FAILURE() << "extract into " << job.out << " has not returned after 30 s";
        ::ExitProcess(1);  // the climb cannot be stopped from outside
    }
    EXPECT_FALSE(job.extracted);
    EXPECT_NE(job.result.problem.find("cannot create the folder '" + job.out + "'"), std::string::npos)
        << job.result.problem;
}

}  // namespace
