// upkpack.exe's cabinet check, which in the Windows build runs on the system's
// cabinet.dll (FDI; under Wine, Wine's own), on gcab's test cabinets placed in
// a larger file, as inspect reads an entry of a package.
#include "tests/harness/Scenario.h"
#include "tests/unit/unpack_test_support.h"
#include "tools/cabinet/CabinetCheck.h"
#include "tools/cabinet/CabinetExpand.h"

#include <gtest/gtest.h>

namespace {

using namespace unpacktest;

Bytes ReadTestCabinet(const wchar_t* name, size_t flip, size_t cut) {
    Bytes bytes;
    EXPECT_TRUE(ReadBytes(scenario::WindowsPathOf(UNPACK_CABINETS_DIR_FOR_TESTS) + L"\\" + name, bytes));
    // The first folder's data begins where its record (at 36) says; a data block's header is 8 bytes.
    if (flip != 0) bytes.at(bytes[36] + 256 * bytes[37] + 8 + flip) ^= 0x01;
    bytes.resize(bytes.size() - cut);
    return bytes;
}

TEST(CabinetCheck, ReadsWholeCabinetsAndRefusesDamagedOnes) {
    const std::wstring folder = ScratchFolder(L"cabinetcheck");
    struct Case {
        const char* label;
        Bytes bytes;
        std::vector<std::string> files;  // expected when accepted
        const char* reason;              // nullptr: accepted
    } cases[] = {
        {"stored", ReadTestCabinet(L"host.cab", 0, 0), {"VYAuto.exe", "hostdata.txt"}, nullptr},
        {"MSZIP, several blocks", ReadTestCabinet(L"tree-compressed.cab", 0, 0),
         {"top.txt", "sub\\deeper\\nested.txt", "sub\\big.bin"}, nullptr},
        {"damaged block, stored", ReadTestCabinet(L"tree.cab", 20, 0), {}, "damaged"},
        {"damaged block, MSZIP", ReadTestCabinet(L"tree-compressed.cab", 20, 0), {}, "damaged"},
        {"cut off", ReadTestCabinet(L"host-compressed.cab", 0, 10), {}, "cut off"},
        {"not a cabinet", MakeData(3000, 4), {}, "not a cabinet"},
    };
    const std::wstring path = folder + L"\\package.exe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // Bytes before and behind the cabinet, which the check must not take for its own.
        Bytes file = MakeData(1000, 1);
        file.insert(file.end(), c.bytes.begin(), c.bytes.end());
        file.resize(file.size() + 500, 0x5A);
        ASSERT_TRUE(WriteBytes(path, file));
        const package::CabinetCheck check =
            package::CheckCabinet(std::string(path.begin(), path.end()), 1000, c.bytes.size());
        EXPECT_EQ(check.ok, c.reason == nullptr) << check.reason;
        std::vector<std::string> names;
        for (const package::CabinetFile& f : check.files) names.push_back(f.name);
        if (c.reason == nullptr) {
            EXPECT_EQ(names, c.files);
        } else {
            EXPECT_NE(check.reason.find(c.reason), std::string::npos) << check.reason;
        }
    }
    ForceRemoveTree(folder);
}

// upkpack.exe's extract --expand: the same reading, each file written below
// the folder with its subfolders, and a file the damage cut short removed.
TEST(CabinetCheck, ExpandsIntoAFolder) {
    for (size_t flip : {0, 20}) {
        SCOPED_TRACE(flip);
        const std::wstring folder = ScratchFolder(L"cabinetexpand");
        ASSERT_TRUE(WriteBytes(folder + L"\\package1.cab", ReadTestCabinet(L"tree-compressed.cab", flip, 0)));
        const std::string out(folder.begin(), folder.end());
        std::vector<package::Expansion> results;
        EXPECT_EQ(package::ExpandCabinets({out + "\\package1.cab"}, out, results), flip == 0);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].files.size(), flip == 0 ? 3u : 1u) << results[0].problem;
        for (const package::ExpandedFile& file : results[0].files) {
            Bytes bytes;
            EXPECT_EQ(ReadBytes(folder + L"\\" + std::wstring(file.name.begin(), file.name.end()), bytes), file.written);
            EXPECT_EQ(file.written, flip == 0) << file.name;
            if (file.written) {
                EXPECT_EQ(bytes.size(), file.size) << file.name;
            }
        }
        ForceRemoveTree(folder);
    }
}

}  // namespace
