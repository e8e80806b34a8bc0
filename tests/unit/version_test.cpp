// Version texts, their comparison, the OS bound arithmetic and the OS level table.
#include "app/Criteria.h"
#include "utility/Utility.h"
#include "utility/VersionBlock.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CompareCase {
    const wchar_t* a;
    const wchar_t* b;
    int expected;
};

std::string Describe(const wchar_t* a, const wchar_t* b) {
    std::wstring text = std::wstring(L"'") + a + L"' vs '" + b + L"'";
    return std::string(text.begin(), text.end());
}

TEST(CompareVersion, Table) {
    const CompareCase cases[] = {
        {L"3.1", L"3.1.0.0", 0},
        {L"3.1.0.0", L"3.1", 0},
        {L"2.4.0.0", L"10.0.0.0", -1},  // numbers, not text
        {L"10.0.0.0", L"2.4.0.0", 1},
        {L"3.6.2.1", L"3.6.2.1", 0},
        {L"3.6.2.1", L"3.6.10.0", -1},
        {L"3.10.0.0", L"3.9.0.0", 1},
        {L"3.6.2.2", L"3.6.2.1", 1},
        {L"", L"0.0.0.0", 0},
        {L"", L"0.0.0.1", -1},
        {L"", L"", 0},
        {L"v3.1.0.0", L"0.0.0.0", 0},  // a leading letter stops the scan at once
        {L"V3.1.0.0", L"0.0.0.1", -1},
        {L"3.1.0.0 beta", L"3.1.0.0", 0},  // trailing text ignored
        {L"3.1.0.0.7", L"3.1.0.0", 0},     // a fifth number is ignored
        {L"3.x.5.0", L"3.0.0.0", 0},       // the scan stops at the letter
        {L"3.x.5.0", L"3.0.0.1", -1},
        {L"-1.0.0.0", L"9.0.0.0", 1},  // -1 is stored as 4294967295
        {L"-1.0.0.0", L"4294967295.0.0.0", 0},
        {L"+3.1.0.0", L"3.1.0.0", 0},
        {L"- 3.1", L"0.0.0.0", 0},  // a sign must be followed by digits
        // Over 32 bits: the digits wrap modulo 2^32, as the Windows runtime's %d.
        {L"4294967296.0.0.0", L"0.0.0.0", 0},
        {L"4294967297.2.0.0", L"1.2.0.0", 0},
        {L"99999999999.0.0.0", L"1215752191.0.0.0", 0},
        {L"-4294967297.0.0.0", L"4294967295.0.0.0", 0},
        // Blanks before each number are skipped, also after a dot.
        {L"  3.1.0.0", L"3.1.0.0", 0},
        {L"\t3. 1.\t2. 0", L"3.1.2.0", 0},
        {L"\r\n 3.1", L"3.1.0.0", 0},
        // The dot must follow the number at once: a blank before it ends the scan.
        {L"3 .1.0.0", L"3.0.0.0", 0},
        {L"3..1", L"3.0.0.0", 0},
        {L"3..1", L"3.0.0.1", -1},
        {L"3.", L"3.0.0.0", 0},
        {L".3.1", L"0.0.0.0", 0},
        {L"3,1,0,0", L"3.0.0.0", 0},
        {L"00003.0001", L"3.1", 0},
    };
    for (const CompareCase& c : cases) {
        EXPECT_EQ(c.expected, CUtility::CompareVersion(c.a, c.b)) << Describe(c.a, c.b);
        EXPECT_EQ(-c.expected, CUtility::CompareVersion(c.b, c.a)) << Describe(c.b, c.a);
    }
}

struct ParseCase {
    const wchar_t* text;
    bool complete;
    uint32_t fields[4];  // 7 marks a field the text does not supply (prefilled with 7)
};

TEST(ParseVersion, ResultAndFields) {
    const ParseCase cases[] = {
        {L"3.6.2.1", true, {3, 6, 2, 1}},
        {L"3.6.2.1 beta", true, {3, 6, 2, 1}},
        {L"3.6.2.1.9", true, {3, 6, 2, 1}},
        {L"-1.0.0.0", true, {4294967295u, 0, 0, 0}},
        {L" 1. 2. 3. 4", true, {1, 2, 3, 4}},
        {L"3.6.2", false, {3, 6, 2, 7}},
        {L"3.6.2.", false, {3, 6, 2, 7}},
        {L"3.1", false, {3, 1, 7, 7}},
        {L"3..1", false, {3, 7, 7, 7}},
        {L"3.x.5.0", false, {3, 7, 7, 7}},
        {L"", false, {7, 7, 7, 7}},
        {L"beta", false, {7, 7, 7, 7}},
        {L"-", false, {7, 7, 7, 7}},
    };
    for (const ParseCase& c : cases) {
        VersionFields fields = {{7, 7, 7, 7}};
        std::wstring text = c.text;
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        EXPECT_EQ(c.complete, CUtility::ParseVersion(c.text, fields));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(c.fields[i], fields.field[i]) << "field " << i;
    }
}

TEST(CompareVersionFields, UnsignedFieldByField) {
    const struct {
        VersionFields a, b;
        int expected;
    } cases[] = {
        {{{1, 2, 3, 4}}, {{1, 2, 3, 4}}, 0},
        {{{1, 2, 3, 4}}, {{1, 2, 3, 5}}, -1},
        {{{2, 0, 0, 0}}, {{1, 9, 9, 9}}, 1},
        {{{0x80000000u, 0, 0, 0}}, {{1, 0, 0, 0}}, 1},  // unsigned, not signed
        {{{0, 0, 0, 0xFFFFFFFFu}}, {{0, 0, 1, 0}}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, CUtility::CompareVersionFields(c.a, c.b));
        EXPECT_EQ(-c.expected, CUtility::CompareVersionFields(c.b, c.a));
    }
}

// The OS bound: (major * 256 + minor) - packed bound, the bound's fields packed
// one byte each; positive means the system is above the bound.
TEST(CompareOSWithBound, Table) {
    struct System {
        DWORD major, minor;
    };
    const System systems[] = {{6, 0}, {6, 1}, {6, 2}, {6, 3}, {10, 0}};
    const struct {
        const wchar_t* bound;
        int expected[5];  // for 6.0, 6.1, 6.2, 6.3, 10.0
    } cases[] = {
        {L"5.0", {256, 257, 258, 259, 1280}},
        {L"6.1", {-1, 0, 1, 2, 1023}},
        {L"10.0", {-1024, -1023, -1022, -1021, 0}},
        // Three or four fields pack above every OS value.
        {L"6.1.0", {1536 - 0x060100, 1537 - 0x060100, 1538 - 0x060100, 1539 - 0x060100, 2560 - 0x060100}},
        {L"6.1.0.0",
         {1536 - 0x06010000, 1537 - 0x06010000, 1538 - 0x06010000, 1539 - 0x06010000, 2560 - 0x06010000}},
        // A field above 255 packs the bound to -1: every system passes.
        {L"300.1", {1537, 1538, 1539, 1540, 2561}},
        {L"6.256", {1537, 1538, 1539, 1540, 2561}},
        // An empty bound packs to 0.
        {L"", {1536, 1537, 1538, 1539, 2560}},
        // Empty fields between dots are skipped.
        {L".6..1", {-1, 0, 1, 2, 1023}},
        {L"6.1.", {-1, 0, 1, 2, 1023}},
        // The runtime's conversion reads -1, which ORs in as all ones.
        {L"-1", {1537, 1538, 1539, 1540, 2561}},
        // Leading digits only; none give 0.
        {L"6.1beta", {-1, 0, 1, 2, 1023}},
        {L"x.y", {1536, 1537, 1538, 1539, 2560}},
        // At most four fields, from the left.
        {L"0.0.0.0.9", {1536, 1537, 1538, 1539, 2560}},
    };
    for (const auto& c : cases) {
        for (int i = 0; i < 5; ++i) {
            std::wstring bound = c.bound;
            EXPECT_EQ(c.expected[i], CompareOSWithBound(systems[i].major, systems[i].minor, c.bound))
                << "bound '" << std::string(bound.begin(), bound.end()) << "' on " << systems[i].major << "."
                << systems[i].minor;
        }
    }
}

TEST(CompareOSWithBound, UnknownSystemComparesTheText51) {
    const struct {
        const wchar_t* bound;
        int sign;
    } cases[] = {
        {L"5.1", 0}, {L"5.0", 1}, {L"6.1", -1}, {L"", 1}, {L"5.1.0", -1}, {L"10.0", 1},  // text: '5' > '1'
        {L"5.A", -1},  // case ignored: 'a' sorts after '1'
    };
    for (const auto& c : cases) {
        int result = CompareOSWithBound(0, 7, c.bound);
        int sign = result < 0 ? -1 : (result > 0 ? 1 : 0);
        std::wstring bound = c.bound;
        EXPECT_EQ(c.sign, sign) << std::string(bound.begin(), bound.end());
    }
}

TEST(MapOSLevel, FullAndFallbackTables) {
    const struct {
        DWORD major, minor;
        int full, fallback;
    } cases[] = {
        {5, 1, 0, 0}, {5, 2, 0, 0}, {6, 0, 1, 1}, {6, 1, 2, 2},  {6, 2, 3, 3},  {6, 3, 4, 3},
        {6, 4, 0, 3}, {7, 0, 0, 3}, {9, 9, 0, 3}, {10, 0, 5, 3}, {10, 1, 5, 3}, {11, 0, 5, 3},
        {0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.full, CUtility::MapOSLevel(c.major, c.minor, false)) << c.major << "." << c.minor;
        EXPECT_EQ(c.fallback, CUtility::MapOSLevel(c.major, c.minor, true)) << c.major << "." << c.minor;
    }
}

// What RtlGetVersion reports, read here independently of the product's code.
OSVERSIONINFOEXW TrueVersion() {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    auto rtl = reinterpret_cast<RtlGetVersionFunction>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
    OSVERSIONINFOEXW record = {};
    record.dwOSVersionInfoSize = sizeof(record);
    if (rtl != nullptr) rtl(&record);
    return record;
}

TEST(GetOSLevel, CopiesTheRecordOfRtlGetVersion) {
    OSVERSIONINFOEXW expected = TrueVersion();
    ASSERT_NE(0u, expected.dwMajorVersion);
    OSVERSIONINFOEXW copy;
    memset(&copy, 0xCC, sizeof(copy));
    int level = CUtility::GetOSLevel(&copy);
    EXPECT_EQ(CUtility::MapOSLevel(expected.dwMajorVersion, expected.dwMinorVersion, false), level);
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), copy.dwOSVersionInfoSize);
    EXPECT_EQ(expected.dwMajorVersion, copy.dwMajorVersion);
    EXPECT_EQ(expected.dwMinorVersion, copy.dwMinorVersion);
    EXPECT_EQ(expected.dwBuildNumber, copy.dwBuildNumber);
    EXPECT_EQ(std::wstring(expected.szCSDVersion), std::wstring(copy.szCSDVersion));
    EXPECT_EQ(level, CUtility::GetOSLevel(nullptr));
}

TEST(IsWow64, AgreesWithTheSystem) {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64 != FALSE, CUtility::IsWow64());
}

TEST(IsPreVista, FalseFromVistaOn) {
    OSVERSIONINFOW record = {};
    record.dwOSVersionInfoSize = sizeof(record);
    ASSERT_TRUE(::GetVersionExW(&record));
    EXPECT_EQ(record.dwMajorVersion < 6, CUtility::IsPreVista());
}

// The test program carries no version block: nothing is written.
TEST(GetModuleVersion, WithoutVersionInformationLeavesEverythingAlone) {
    DWORD probe = 0;
    ASSERT_EQ(0u, ::GetFileVersionInfoSizeW(CUtility::GetModulePath().c_str(), &probe))
        << "the test program is expected to have no version block";
    wchar_t text[MAX_PATH] = L"untouched";
    DWORD high = 0x11111111, low = 0x22222222;
    EXPECT_FALSE(CUtility::GetModuleVersion(text, &high, &low, 1));
    EXPECT_STREQ(L"untouched", text);
    EXPECT_EQ(0x11111111u, high);
    EXPECT_EQ(0x22222222u, low);
    EXPECT_FALSE(CUtility::GetModuleVersion(nullptr, &high, &low, 0));
}

// The version library's answers for one row: the size it reports, whether the
// read succeeds, and whether the root block is found in the buffer.
struct FakeVersionLibrary {
    DWORD size;
    BOOL readSucceeds;
    BOOL rootFound;
};

const FakeVersionLibrary* g_library = nullptr;

VS_FIXEDFILEINFO FixedInfo() {
    VS_FIXEDFILEINFO info = {};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwProductVersionMS = 0x00030006;  // product 3.6.2.1
    info.dwProductVersionLS = 0x00020001;
    info.dwFileVersionMS = 0x0003003E;  // file 3.62.1.109
    info.dwFileVersionLS = 0x0001006D;
    return info;
}

DWORD WINAPI FakeGetSize(LPCWSTR, LPDWORD handle) {
    *handle = 0;
    return g_library->size;
}

BOOL WINAPI FakeGetInfo(LPCWSTR, DWORD, DWORD, LPVOID) { return g_library->readSucceeds; }

BOOL WINAPI FakeQuery(LPCVOID, LPCWSTR, LPVOID* value, PUINT size) {
    static VS_FIXEDFILEINFO info = FixedInfo();
    if (!g_library->rootFound) return FALSE;
    *value = &info;
    *size = sizeof(info);
    return TRUE;
}

// A read that fails gives "no version" like a missing block, even when the
// unread buffer happens to answer the query for the root block.
TEST(GetModuleVersion, OnlyABlockThatWasReadGivesAVersion) {
    const VersionInfoCalls calls = {FakeGetSize, FakeGetInfo, FakeQuery};
    const struct {
        const char* what;
        FakeVersionLibrary library;
        int selector;
        const wchar_t* text;  // nullptr: no version, nothing written
        DWORD high, low;
    } cases[] = {
        {"no version information", {0, TRUE, TRUE}, 1, nullptr, 0, 0},
        {"the read fails", {512, FALSE, TRUE}, 1, nullptr, 0, 0},
        {"no root block", {512, TRUE, FALSE}, 1, nullptr, 0, 0},
        {"product version", {512, TRUE, TRUE}, 1, L"3.6.2.1", 0x00030006, 0x00020001},
        {"file version", {512, TRUE, TRUE}, 0, L"3.62.1.109", 0x0003003E, 0x0001006D},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_library = &c.library;
        wchar_t text[MAX_PATH] = L"untouched";
        DWORD high = 0x11111111, low = 0x22222222;
        BOOL found = ReadFixedVersion(L"C:\\any\\UnPackFile.exe", calls, text, &high, &low, c.selector);
        g_library = nullptr;
        if (c.text == nullptr) {
            EXPECT_FALSE(found);
            EXPECT_STREQ(L"untouched", text);
            EXPECT_EQ(0x11111111u, high);
            EXPECT_EQ(0x22222222u, low);
        } else {
            EXPECT_TRUE(found);
            EXPECT_STREQ(c.text, text);
            EXPECT_EQ(c.high, high);
            EXPECT_EQ(c.low, low);
        }
    }
}

}  // namespace

namespace {

// setup.ini's VERSIONCHECK section: each key read on its own, a missing key (or
// file) giving its default, a key present with an empty value giving "".
TEST(ReadUpgradeBounds, KeysDefaultsAndEmptyValues) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"upgrade_bounds_test.ini";
    const struct {
        const char* text;  // nullptr: no file
        UpgradeBounds expected;
    } cases[] = {
        {nullptr, {L"3.1.0.0", L"2.4.0.0", L"5.0", L"5.0"}},
        {"", {L"3.1.0.0", L"2.4.0.0", L"5.0", L"5.0"}},
        {"[VERSIONCHECK]\r\nMLOWERBOUND=3.5.0.0\r\n", {L"3.1.0.0", L"3.5.0.0", L"5.0", L"5.0"}},
        {"[VERSIONCHECK]\r\nALOWERBOUND=1.2.3.4\r\nMLOWERBOUND=5.6.7.8\r\nAOSLOWERBOUND=6.1\r\nMOSLOWERBOUND=10.0\r\n",
         {L"1.2.3.4", L"5.6.7.8", L"6.1", L"10.0"}},
        {"[VERSIONCHECK]\r\nALOWERBOUND=\r\nMLOWERBOUND=\r\nAOSLOWERBOUND=\r\nMOSLOWERBOUND=\r\n", {L"", L"", L"", L""}},
        {"[versioncheck]\r\naoslowerbound=6.2\r\n", {L"3.1.0.0", L"2.4.0.0", L"6.2", L"5.0"}},
        {"[OTHER]\r\nALOWERBOUND=9.9.9.9\r\n", {L"3.1.0.0", L"2.4.0.0", L"5.0", L"5.0"}},
    };
    for (const auto& c : cases) {
        ::DeleteFileW(path.c_str());
        if (c.text != nullptr) {
            HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            DWORD written = 0;
            ::WriteFile(file, c.text, static_cast<DWORD>(strlen(c.text)), &written, nullptr);
            ::CloseHandle(file);
        }
        SCOPED_TRACE(c.text == nullptr ? "no file" : c.text);
        UpgradeBounds bounds = ReadUpgradeBounds(path);
        EXPECT_EQ(c.expected.autoVersion, bounds.autoVersion);
        EXPECT_EQ(c.expected.manualVersion, bounds.manualVersion);
        EXPECT_EQ(c.expected.autoOS, bounds.autoOS);
        EXPECT_EQ(c.expected.manualOS, bounds.manualOS);
    }
    ::DeleteFileW(path.c_str());
}

// Without the executable's folder the defaults apply, also when a stray
// setup.ini with empty bounds, which would lift every bound, lies at the root
// of the current drive, where "\setup.ini" leads.
TEST(ReadUpgradeBounds, DefaultsWhenTheExecutablesFolderIsUnknown) {
    const std::wstring stray = L"C:\\setup.ini";
    if (::GetFileAttributesW(stray.c_str()) != INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "C:\\setup.ini exists and is not this test's to replace";
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"setup-ini-beside";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    auto write = [](const std::wstring& path, const char* text) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        bool ok = ::WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr) != FALSE;
        ::CloseHandle(file);
        return ok;
    };
    ASSERT_TRUE(write(folder + L"\\setup.ini", "[VERSIONCHECK]\r\nMLOWERBOUND=3.5.0.0\r\n"));
    ASSERT_TRUE(write(stray, "[VERSIONCHECK]\r\nALOWERBOUND=\r\nMLOWERBOUND=\r\nAOSLOWERBOUND=\r\nMOSLOWERBOUND=\r\n"));
    wchar_t saved[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, saved);
    ::SetCurrentDirectoryW(L"C:\\");

    const UpgradeBounds defaults = {L"3.1.0.0", L"2.4.0.0", L"5.0", L"5.0"};
    const struct {
        std::wstring modulePath;
        UpgradeBounds expected;
    } cases[] = {
        {L"", defaults},
        {L"UnPackFile.exe", defaults},
        {L"\\UnPackFile.exe", defaults},
        {folder + L"\\UnPackFile.exe", {L"3.1.0.0", L"3.5.0.0", L"5.0", L"5.0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.modulePath.begin(), c.modulePath.end()));
        UpgradeBounds bounds = ReadUpgradeBounds(FindSetupIni(c.modulePath));
        EXPECT_EQ(c.expected.autoVersion, bounds.autoVersion);
        EXPECT_EQ(c.expected.manualVersion, bounds.manualVersion);
        EXPECT_EQ(c.expected.autoOS, bounds.autoOS);
        EXPECT_EQ(c.expected.manualOS, bounds.manualOS);
    }

    ::SetCurrentDirectoryW(saved);
    ::DeleteFileW(stray.c_str());
    ::DeleteFileW((folder + L"\\setup.ini").c_str());
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace
