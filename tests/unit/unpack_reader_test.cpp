// CUnPack::FindHeader against real package files: crafted byte by byte with
// the layout structs, and a UnPackFile.exe packed and signed for real.
#include "tests/unit/unpack_test_support.h"
#include "tools/package/PackageWriter.h"
#include "unpack/UnPack.h"

#include <gtest/gtest.h>

namespace {

using namespace unpacktest;

const std::wstring kLine = L"[CUnPack::FindHeader] ";

std::wstring NameLine(const std::wstring& path) { return kLine + L"Name:" + path; }
std::wstring SignLine(int size) { return kLine + L"Sign Size:" + std::to_wstring(size); }
std::wstring OffsetLine(int offset) { return kLine + L"Header offset:" + std::to_wstring(offset); }

class FindHeaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = ScratchFolder(L"reader");
        path = folder + L"\\package.exe";
        ResetLog();
    }
    void TearDown() override {
        ResetLog();
        ForceRemoveTree(folder);
    }

    uint64_t Find(const Bytes& file) {
        if (!WriteBytes(path, file)) ADD_FAILURE() << "cannot write the package file";
        CUnPack unpack(path);
        return unpack.FindHeader();
    }

    std::wstring folder, path;
};

TEST_F(FindHeaderTest, UnsignedFileHasItsTrailerAtTheEnd) {
    TestPackage contents;
    contents.imageSize = 1536;
    contents.entries.push_back({"package1.cab", MakeData(3000, 1)});
    uint64_t expected = 0;
    Bytes file = BuildPackage(contents, &expected);
    ASSERT_EQ(expected, 1536u);

    EXPECT_EQ(Find(file), expected);
    std::vector<std::wstring> expectedLines = {NameLine(path), SignLine(0), OffsetLine(1536)};
    EXPECT_EQ(LogMessages(), expectedLines);
}

TEST_F(FindHeaderTest, SignedFileSkipsTheCertificateTable) {
    TestPackage contents;
    contents.imageSize = 2048;
    contents.entries.push_back({"a.bin", MakeData(777, 2)});
    contents.entries.push_back({"b.bin", MakeData(5, 3)});
    contents.certificate = MakeData(1000, 9);
    uint64_t expected = 0;
    Bytes file = BuildPackage(contents, &expected);

    EXPECT_EQ(Find(file), expected);
    std::vector<std::wstring> expectedLines = {NameLine(path), SignLine(1000), OffsetLine(2048)};
    EXPECT_EQ(LogMessages(), expectedLines);
}

// A length of 0x80000000 or more reads as negative and adds nothing to the
// distance, so the trailer is taken from the end of the file.
struct NegativeCase {
    uint32_t field;
    int logged;
};

class NegativeCertificateTest : public FindHeaderTest, public ::testing::WithParamInterface<NegativeCase> {};

TEST_P(NegativeCertificateTest, CountsAsZero) {
    TestPackage contents;
    contents.entries.push_back({"x.bin", MakeData(100, 4)});
    contents.overrideCertificateField = true;
    contents.certificateField = GetParam().field;
    uint64_t expected = 0;
    Bytes file = BuildPackage(contents, &expected);

    EXPECT_EQ(Find(file), expected);
    std::vector<std::wstring> expectedLines = {NameLine(path), SignLine(GetParam().logged),
                                               OffsetLine(static_cast<int>(expected))};
    EXPECT_EQ(LogMessages(), expectedLines);
}

INSTANTIATE_TEST_SUITE_P(Table, NegativeCertificateTest,
                         ::testing::Values(NegativeCase{0x80000000u, INT32_MIN}, NegativeCase{0xFFFFFFFFu, -1},
                                           NegativeCase{0xFFFFF000u, -4096}));

TEST_F(FindHeaderTest, TrailerOffsetZeroMeansNoPackage) {
    TestPackage contents;
    contents.entries.push_back({"x.bin", MakeData(100, 4)});
    contents.overrideHeaderOffset = true;
    contents.headerOffset = 0;

    EXPECT_EQ(Find(BuildPackage(contents)), 0u);
    std::vector<std::wstring> expectedLines = {NameLine(path), SignLine(0), OffsetLine(0)};
    EXPECT_EQ(LogMessages(), expectedLines);
}

// e_lfanew past the end of the file, or negative (past it once widened), ends
// the search after the name line.
class PeOffsetPastEndTest : public FindHeaderTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PeOffsetPastEndTest, YieldsZeroAfterTheNameLine) {
    TestPackage contents;
    contents.entries.push_back({"x.bin", MakeData(100, 4)});
    Bytes file = BuildPackage(contents);
    uint32_t peOffset = GetParam() == 0 ? static_cast<uint32_t>(file.size() + 1) : GetParam();
    package::WriteLE32(&file[package::kPeOffsetField], peOffset);

    EXPECT_EQ(Find(file), 0u);
    std::vector<std::wstring> expectedLines = {NameLine(path)};
    EXPECT_EQ(LogMessages(), expectedLines);
}

INSTANTIATE_TEST_SUITE_P(Table, PeOffsetPastEndTest, ::testing::Values(0u /* length + 1 */, 0x7FFFFFFFu, 0x80000000u,
                                                                       0xFFFFFFFFu));

// Broken files: no package, a line that says why, and no crash.
struct BrokenCase {
    const char* what;
    Bytes (*make)();
    std::vector<std::wstring> (*lines)(const std::wstring& path);  // the lines expected before the failure's own
    bool offsetLogged = false;  // an offset line (of whatever the trailer holds) comes before the failure's line
};

std::vector<std::wstring> OnlyName(const std::wstring& path) { return {NameLine(path)}; }

Bytes TenBytes() { return Bytes(10, 'M'); }

Bytes PeHeadersCut() {
    Bytes file = MakeImage(0, 0, 0);
    file.resize(kPeOffset + 100);
    return file;
}

// A PE32+ image cut inside its optional header, past where a PE32 one ends.
Bytes Pe64HeadersCut() {
    Bytes file = MakeImage(0, 0, 0);
    package::WriteLE32(&file[kPeOffset + package::kOptionalMagicField], package::kPe32PlusMagic);
    file.resize(kPeOffset + package::kPeHeadersSize64 - 8);
    return file;
}

Bytes PeOffsetAtEnd() {
    Bytes file = MakeImage(0, 0, 0);
    file.resize(kPeOffset + 200);
    package::WriteLE32(&file[package::kPeOffsetField], static_cast<uint32_t>(file.size()));
    return file;
}

Bytes DistanceBeyondFile() {
    Bytes file = MakeImage(600, 0, 0);
    package::WriteLE32(&file[kPeOffset + package::kSecuritySizeField], 1000000);
    return file;
}

std::vector<std::wstring> NameAndBigSign(const std::wstring& path) { return {NameLine(path), SignLine(1000000)}; }

// The certificate table and part of the data are gone: the 284 bytes at the
// computed distance lie inside entry data of 0xFF bytes.
Bytes TailCutOff() {
    TestPackage contents;
    contents.entries.push_back({"x.bin", Bytes(4000, 0xFF)});
    contents.certificate = MakeData(1000, 5);
    Bytes file = BuildPackage(contents);
    file.resize(file.size() - 600);
    return file;
}

std::vector<std::wstring> TailLines(const std::wstring& path) {
    return {NameLine(path), SignLine(1000), OffsetLine(-1)};
}

Bytes OffsetAtTrailer() {
    TestPackage contents;
    contents.entries.push_back({"x.bin", MakeData(100, 4)});
    Bytes file = BuildPackage(contents);
    package::WriteLE64(&file[file.size() - package::kRecordSize + 8], file.size() - package::kRecordSize);
    return file;
}

Bytes OffsetPastEnd() {
    TestPackage contents;
    contents.entries.push_back({"x.bin", MakeData(100, 4)});
    Bytes file = BuildPackage(contents);
    package::WriteLE64(&file[file.size() - package::kRecordSize + 8], file.size() + 4096);
    return file;
}

class BrokenFileTest : public FindHeaderTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenFileTest, YieldsNoPackageAndSaysWhy) {
    const BrokenCase& c = GetParam();
    EXPECT_EQ(Find(c.make()), 0u) << c.what;
    std::vector<std::wstring> messages = LogMessages();
    std::vector<std::wstring> expected = c.lines(path);
    ASSERT_GT(messages.size(), expected.size()) << c.what << ": no line about the failure";
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(messages[i], expected[i]) << c.what;
    if (c.offsetLogged) {
        std::wstring offsetStart = kLine + L"Header offset:";
        EXPECT_EQ(messages[expected.size()].compare(0, offsetStart.size(), offsetStart), 0) << c.what;
    }
    EXPECT_EQ(messages.size(), expected.size() + (c.offsetLogged ? 2 : 1)) << c.what;
    EXPECT_EQ(messages.back().compare(0, 1, L"["), 0) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrokenFileTest,
    ::testing::Values(BrokenCase{"shorter than the DOS header", TenBytes, OnlyName},
                      BrokenCase{"PE headers cut off", PeHeadersCut, OnlyName},
                      BrokenCase{"PE32+ optional header cut off", Pe64HeadersCut, OnlyName},
                      BrokenCase{"e_lfanew at the end of the file", PeOffsetAtEnd, OnlyName},
                      BrokenCase{"trailer distance larger than the file", DistanceBeyondFile, NameAndBigSign},
                      BrokenCase{"tail cut off", TailCutOff, TailLines},
                      BrokenCase{"header offset at the trailer", OffsetAtTrailer,
                                 [](const std::wstring& p) -> std::vector<std::wstring> {
                                     return {NameLine(p), SignLine(0)};
                                 },
                                 true},
                      BrokenCase{"header offset past the end", OffsetPastEnd,
                                 [](const std::wstring& p) -> std::vector<std::wstring> {
                                     return {NameLine(p), SignLine(0)};
                                 },
                                 true}));

TEST_F(FindHeaderTest, MissingFileLogsFailAndTheFileError) {
    CUnPack unpack(folder + L"\\missing.exe");
    EXPECT_EQ(unpack.FindHeader(), 0u);
    std::vector<std::wstring> messages = LogMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], NameLine(folder + L"\\missing.exe"));
    EXPECT_EQ(messages[1], kLine + L"Fail");
    EXPECT_EQ(messages[2].compare(0, 26, L"[CUtility::FileException] "), 0) << messages[2];
    EXPECT_NE(messages[2].find(L"missing.exe"), std::wstring::npos) << messages[2];
}

// Without a package path, the running executable is read: a test program
// carries no trailer, so its last 284 bytes name no sensible offset.
TEST_F(FindHeaderTest, WithoutAPathTheRunningExecutableIsRead) {
    CUnPack unpack;
    unpack.FindHeader();
    std::vector<std::wstring> messages = LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], NameLine(CUtility::GetModulePath()));
}

// ---- A real UnPackFile.exe, packed by the writer and signed by osslsigncode --

std::wstring ProductExe() {
    std::wstring path = CUtility::GetModulePath();
    CUtility::TrimPath(path, 2);
    return path + L"\\app\\UnPackFile.exe";
}

std::string Ansi(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST_F(FindHeaderTest, RealSignatureIsSkipped) {
    Bytes stub;
    ASSERT_TRUE(ReadBytes(ProductExe(), stub)) << "UnPackFile.exe is not built";
    if (UnixPathOf(folder).empty() || !CUtility::FileExists(L"Z:\\usr\\bin\\osslsigncode") ||
        !CUtility::FileExists(L"Z:\\usr\\bin\\openssl"))
        GTEST_SKIP() << "signing needs Wine's Unix side with openssl and osslsigncode";

    ASSERT_TRUE(WriteBytes(folder + L"\\package1.cab", MakeData(70000, 6)));
    std::string error;
    ASSERT_TRUE(package::PackFiles(Ansi(ProductExe()), {Ansi(folder + L"\\package1.cab")},
                                   Ansi(folder + L"\\unsigned.exe"), error, package::UncheckedForTests()))
        << error;

    // A throwaway certificate made now; the signed file appears whole at once.
    std::string dir = UnixPathOf(folder);
    std::wstring script =
        L"cd '" + Narrow(dir) +
        L"' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 -subj /CN=unpacker-test "
        L">/dev/null 2>&1 && osslsigncode sign -certs cert.pem -key key.pem -in unsigned.exe -out signing.tmp "
        L">/dev/null 2>&1 && mv signing.tmp signed.exe";
    ASSERT_TRUE(StartUnix(L"/bin/sh", L"-c \"" + script + L"\""));
    std::wstring signedPath = folder + L"\\signed.exe";
    if (!WaitUntil([&] { return CUtility::FileExists(signedPath); }, 60000))
        GTEST_SKIP() << "osslsigncode did not sign the file";

    Bytes signedFile;
    ASSERT_TRUE(ReadBytes(signedPath, signedFile));
    int32_t peOffset = 0;
    ASSERT_TRUE(package::ParsePeOffset(signedFile.data(), signedFile.size(), peOffset));
    uint32_t tableOffset = 0;
    int32_t tableLength = 0;
    ASSERT_TRUE(package::ParseSecurityDirectory(&signedFile[peOffset], signedFile.size() - peOffset, tableOffset,
                                                tableLength));
    ASSERT_GT(tableLength, 0) << "the file is not signed";

    ResetLog();
    CUnPack unpack(signedPath);
    // The writer puts record 1 directly behind the image, which ends where
    // UnPackFile.exe's file ends (it is linked without a symbol table).
    EXPECT_EQ(unpack.FindHeader(), stub.size());
    std::vector<std::wstring> expectedLines = {NameLine(signedPath), SignLine(tableLength),
                                               OffsetLine(static_cast<int>(stub.size()))};
    EXPECT_EQ(LogMessages(), expectedLines);

    // The certificate table follows the trailer directly.
    uint64_t trailerOffset = 0;
    ASSERT_TRUE(package::ParseTrailerHeaderOffset(&signedFile[tableOffset - package::kRecordSize],
                                                  package::kRecordSize, trailerOffset));
    EXPECT_EQ(trailerOffset, stub.size());
}

}  // namespace
