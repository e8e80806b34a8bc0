// A hostile machine: the installed host's "Version", "MOXBasedType" and
// "VYServerMode" of the wrong type or size, stored without a terminating zero,
// with embedded zeros, 64 KB long; setup.ini bounds that are garbage, huge,
// negative or overlong, and a setup.ini that is binary junk or UTF-16 text.
// Each run takes the decision the reading rules give and ends normally: exit
// code 0, within the limit, with the fix-up's closing line as the log's last.
// Runs are in auto mode (no boxes) with a bare copy of UnPackFile.exe: a run
// whose criteria pass then fails at the extraction, which is not asserted here.
#include "tests/harness/Scenario.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace {

using namespace scenario;

// The built unpacker's own version; the auto mode's default bounds.
const wchar_t kOwnVersion[] = L"3.6.2.1";

std::vector<unsigned char> Utf16(const std::wstring& text) {
    std::vector<unsigned char> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    return bytes;
}

// Any type, any bytes, in the 32-bit view the unpacker reads; the first count
// bytes are stored (all when count is -1). RegSetValueExW adds a terminating
// zero to string types when the byte right behind the count is one (Windows
// does this too), so text meant to be stored without it is passed with a
// non-zero character behind the count.
bool SetRawValue(HKEY root, const wchar_t* keyPath, const wchar_t* name, DWORD type,
                 const std::vector<unsigned char>& bytes, size_t count = static_cast<size_t>(-1)) {
    if (count == static_cast<size_t>(-1)) count = bytes.size();
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG status = ::RegSetValueExW(key, name, 0, type, bytes.empty() ? nullptr : bytes.data(),
                                   static_cast<DWORD>(count));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

class HostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorld();
        folder_ = scenario::ScratchFolder(L"hostile");
        exe_ = folder_ + L"\\UnPackFile.exe";
        ASSERT_TRUE(scenario::CopyFileTo(scenario::ProductExe(), exe_));
    }
    void TearDown() override {
        ResetWorld();
        scenario::RemoveTree(folder_);
    }
    // The maker's keys of the machine and of this account, the unpack folder a
    // passing run prepares, and the log.
    void ResetWorld() {
        scenario::DeleteHklmTree(kMakerKey);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kMakerKey);
        std::wstring maker = MakerProgramsFolder();
        if (!maker.empty()) scenario::RemoveTree(maker);
        scenario::ResetLog();
    }

    void WriteSetupIni(const std::vector<unsigned char>& bytes) {
        std::wstring path = folder_ + L"\\setup.ini";
        ::DeleteFileW(path.c_str());
        if (!bytes.empty()) {
            ASSERT_TRUE(scenario::WriteFileBytes(path, bytes));
        }
    }
    void WriteSetupIni(const std::string& text) { WriteSetupIni(std::vector<unsigned char>(text.begin(), text.end())); }

    // Auto mode on Windows 7 (6.1), so that OS bounds have one known system to
    // be compared with.
    RunResult RunAuto() {
        scenario::ResetLog();
        RunOptions options;
        options.exe = exe_;
        options.args = {L"/S"};
        options.workingFolder = folder_;
        options.windowsVersion = L"win7";
        options.timeoutMs = 60000;
        return scenario::Run(options);
    }

    std::wstring folder_;
    std::wstring exe_;
};

// Nothing crashed and nothing was cut short: the process ended by itself with
// 0, showed nothing, the first line is the criteria's verdict and the last the
// fix-up's.
void ExpectCompleteRun(const RunResult& result, const std::wstring& firstLine) {
    ASSERT_TRUE(result.finished) << DescribeRun(result);
    EXPECT_EQ(0u, result.exitCode) << DescribeRun(result);
    EXPECT_TRUE(result.boxes.empty()) << DescribeRun(result);
    ASSERT_FALSE(result.log.empty());
    EXPECT_EQ(firstLine, result.log.front().message) << DescribeRun(result);
    EXPECT_EQ(kLastLine, result.log.back().message) << DescribeRun(result);
}

// A log message holds at most 1022 characters: a longer one is cut there.
std::wstring CutAsLogged(const std::wstring& message) { return message.substr(0, 1022); }

std::wstring Repeat(const std::wstring& piece, size_t length) {
    std::wstring text;
    while (text.size() < length) text += piece;
    return text.substr(0, length);
}

struct VersionRow {
    const char* what;
    DWORD type;
    std::vector<unsigned char> bytes;
    size_t count;           // bytes stored
    const char* setupIni;   // nullptr: none
    std::wstring firstLine; // after the caller's name, before the log's cut
};

// The installed "Version" reads as text only when it is REG_SZ or
// REG_EXPAND_SZ, up to its first zero, whole even without a terminating zero;
// anything else reads as empty (0.0.0.0), which the default bound 3.1.0.0
// refuses and an empty or zero bound lets pass.
TEST_F(HostileTest, InstalledVersionOfAnyShapeIsReadByTheRules) {
    const std::wstring longOlder = L"3.5.0." + Repeat(L"1", 32768 - 6);       // 4th field wraps; 3.5 decides
    const std::wstring longNewer = L"9." + Repeat(L"9.", 32768 - 2);          // digits and dots, major 9
    std::vector<unsigned char> longOlderBytes = Utf16(longOlder);
    longOlderBytes.insert(longOlderBytes.end(), {0, 0});
    std::vector<unsigned char> longNewerBytes = Utf16(longNewer);
    longNewerBytes.insert(longNewerBytes.end(), {0, 0});
    ASSERT_EQ(65538u, longOlderBytes.size());

    // Stored: the 14 bytes of "3.5.0.0" (no zero), and 13 of them (the last
    // character's high byte missing); the X behind keeps a zero from being added.
    std::vector<unsigned char> unterminated = Utf16(L"3.5.0.0X");
    std::vector<unsigned char> embedded = Utf16(std::wstring(L"3.5.0.0\0" L"9.9.9.9", 15));
    embedded.insert(embedded.end(), {0, 0});
    std::vector<unsigned char> leadingZero = Utf16(std::wstring(L"\0" L"3.5.0.0", 8));
    leadingZero.insert(leadingZero.end(), {0, 0});
    std::vector<unsigned char> expand = Utf16(L"%SystemRoot%");
    expand.insert(expand.end(), {0, 0});
    std::vector<unsigned char> expandVersion = Utf16(L"3.5.0.0");
    expandVersion.insert(expandVersion.end(), {0, 0});
    std::vector<unsigned char> multi = Utf16(std::wstring(L"3.5.0.0\0\0", 9));
    const std::vector<unsigned char> dword = {0x00, 0x00, 0x05, 0x03};
    const std::vector<unsigned char> qword = {1, 0, 0, 0, 5, 0, 3, 0};
    std::vector<unsigned char> binary = Utf16(L"3.5.0.0");
    binary.insert(binary.end(), {0, 0});

    const std::wstring refusedEmpty = L"upgrade skip  less than boundary 3.1.0.0";
    const char* emptyBound = "[VERSIONCHECK]\r\nALOWERBOUND=\r\n";
    const char* zeroBound = "[VERSIONCHECK]\r\nALOWERBOUND=0\r\n";
    const VersionRow rows[] = {
        {"64 KB of digits and dots, older", REG_SZ, longOlderBytes, longOlderBytes.size(), nullptr,
         L"upgrade criteria passed " + longOlder + L" >= 3.1.0.0"},
        {"64 KB of digits and dots, newer", REG_SZ, longNewerBytes, longNewerBytes.size(), nullptr,
         L"upgrade skip " + std::wstring(kOwnVersion) + L" less than " + longNewer},
        {"REG_DWORD", REG_DWORD, dword, 4, nullptr, refusedEmpty},
        {"REG_DWORD, empty bound", REG_DWORD, dword, 4, emptyBound, L"upgrade criteria passed  >= "},
        {"REG_DWORD, bound 0", REG_DWORD, dword, 4, zeroBound, L"upgrade criteria passed  >= 0"},
        {"REG_BINARY holding text", REG_BINARY, binary, binary.size(), nullptr, refusedEmpty},
        {"REG_MULTI_SZ", REG_MULTI_SZ, multi, multi.size(), nullptr, refusedEmpty},
        {"REG_QWORD", REG_QWORD, qword, 8, nullptr, refusedEmpty},
        {"REG_QWORD, empty bound", REG_QWORD, qword, 8, emptyBound, L"upgrade criteria passed  >= "},
        {"REG_EXPAND_SZ %SystemRoot% stays unexpanded", REG_EXPAND_SZ, expand, expand.size(), nullptr,
         L"upgrade skip %SystemRoot% less than boundary 3.1.0.0"},
        {"REG_EXPAND_SZ with a version", REG_EXPAND_SZ, expandVersion, expandVersion.size(), nullptr,
         L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0"},
        {"no terminating zero", REG_SZ, unterminated, 14, nullptr, L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0"},
        {"odd byte count: the cut character goes", REG_SZ, unterminated, 13, nullptr,
         L"upgrade criteria passed 3.5.0. >= 3.1.0.0"},
        {"embedded zero: the text ends there", REG_SZ, embedded, embedded.size(), nullptr,
         L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0"},
        {"leading zero: empty", REG_SZ, leadingZero, leadingZero.size(), nullptr, refusedEmpty},
        {"zero bytes", REG_SZ, {}, 0, nullptr, refusedEmpty},
    };
    for (const VersionRow& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        ASSERT_TRUE(SetRawValue(HKEY_LOCAL_MACHINE, kHostKey, L"Version", row.type, row.bytes, row.count));
        WriteSetupIni(row.setupIni != nullptr ? std::string(row.setupIni) : std::string());
        RunResult result = RunAuto();
        ExpectCompleteRun(result, CutAsLogged(kCaller + row.firstLine));
    }
}

struct ModeRow {
    const char* what;
    DWORD type;
    std::vector<unsigned char> bytes;
    bool business;  // the business key, whose Version passes, is the one read
};

// "VYServerMode" and "MOXBasedType" are read as numbers whatever their type:
// up to four bytes little-endian with missing bytes zero, longer values as
// absent. Which key the run read shows in its verdict: the standard key holds
// 3.0.0.0 (refused by the auto bound 3.1.0.0), the business key 3.5.0.0.
TEST_F(HostileTest, ServerModeValuesOfAnyTypeAndSize) {
    auto prepareKeys = [] {
        ASSERT_TRUE(scenario::SetHklmString(kHostKey, L"Version", L"3.0.0.0"));
        ASSERT_TRUE(scenario::SetHklmString(kBusinessKey, L"Version", L"3.5.0.0"));
    };
    const std::wstring standard = kCaller + L"upgrade skip 3.0.0.0 less than boundary 3.1.0.0";
    const std::wstring business = kCaller + L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0";

    // The machine's own "VYServerMode" (no "MOXBasedType": the machine decides).
    const ModeRow serverModes[] = {
        {"REG_DWORD 1", REG_DWORD, {1, 0, 0, 0}, true},
        {"REG_DWORD 0x101", REG_DWORD, {1, 1, 0, 0}, false},
        {"0 bytes", REG_BINARY, {}, false},
        {"1 byte 01", REG_BINARY, {1}, true},
        {"2 bytes 01 00", REG_BINARY, {1, 0}, true},
        {"2 bytes 00 01", REG_BINARY, {0, 1}, false},
        {"3 bytes 01 00 00", REG_BINARY, {1, 0, 0}, true},
        {"8 bytes holding 1: too long, absent", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, false},
        {"REG_QWORD 1: too long, absent", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, false},
        {"REG_SZ \"1\": 0x31", REG_SZ, {'1', 0, 0, 0}, false},
        {"REG_EXPAND_SZ \"1\": 0x31", REG_EXPAND_SZ, {'1', 0, 0, 0}, false},
    };
    for (const ModeRow& row : serverModes) {
        SCOPED_TRACE(std::string("VYServerMode ") + row.what);
        ResetWorld();
        prepareKeys();
        ASSERT_TRUE(SetRawValue(HKEY_LOCAL_MACHINE, kHostKey, L"VYServerMode", row.type, row.bytes));
        RunResult result = RunAuto();
        ExpectCompleteRun(result, row.business ? business : standard);
    }

    // "MOXBasedType" decides who is asked: 1 (or absent) the machine, whose
    // "VYServerMode" is 0 here; anything else this account, whose
    // "VYServerMode" is 1. (Under Wine the interactive user is the account the
    // tests run as.)
    const ModeRow basedTypes[] = {
        {"REG_DWORD 1", REG_DWORD, {1, 0, 0, 0}, false},
        {"REG_DWORD 0", REG_DWORD, {0, 0, 0, 0}, true},
        {"0 bytes: zero", REG_BINARY, {}, true},
        {"1 byte 01", REG_BINARY, {1}, false},
        {"2 bytes 00 01", REG_BINARY, {0, 1}, true},
        {"3 bytes 01 00 00", REG_BINARY, {1, 0, 0}, false},
        {"8 bytes holding 0: too long, default 1", REG_BINARY, {0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"REG_QWORD 0: too long, default 1", REG_QWORD, {0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"REG_SZ \"1\": 0x31", REG_SZ, {'1', 0, 0, 0}, true},
    };
    for (const ModeRow& row : basedTypes) {
        SCOPED_TRACE(std::string("MOXBasedType ") + row.what);
        ResetWorld();
        prepareKeys();
        ASSERT_TRUE(scenario::SetHklmDword(kHostKey, L"VYServerMode", 0));
        ASSERT_TRUE(SetRawValue(HKEY_CURRENT_USER, kHostKey, L"VYServerMode", REG_DWORD, {1, 0, 0, 0}));
        ASSERT_TRUE(SetRawValue(HKEY_LOCAL_MACHINE, kHostKey, L"MOXBasedType", row.type, row.bytes));
        RunResult result = RunAuto();
        ExpectCompleteRun(result, row.business ? business : standard);
    }
}

struct BoundRow {
    const char* what;
    std::wstring osBound;       // AOSLOWERBOUND as written
    std::wstring versionBound;  // ALOWERBOUND as written
    std::wstring firstLine;     // after the caller's name
};

// Bounds in setup.ini that no release engineer would write. The OS bound packs
// its fields by the platform's text-to-integer conversion (0 for no digits, a
// field above 255 packs the bound to -1, negative fields to large unsigned
// values); the version bound scans as version text (no digits: 0, numbers wrap
// modulo 2^32, "-1" is 4294967295). The system is Windows 7: 6.1, packed 0x601.
// Values longer than 255 characters are read cut to 255.
TEST_F(HostileTest, GarbageHugeAndNegativeBounds) {
    const std::wstring installed = L"3.5.0.0";
    const std::wstring ones255 = Repeat(L"1.", 255);             // packs 1.1.1.1: above every system
    const std::wstring ones400 = Repeat(L"1.", 400);
    const std::wstring versions255 = L"3.5.0.0." + Repeat(L"9", 255 - 8);
    const std::wstring versions400 = L"3.5.0.0." + Repeat(L"9", 400 - 8);
    const std::wstring passed = L"upgrade criteria passed " + installed + L" >= ";
    const std::wstring belowBound = L"upgrade skip " + installed + L" less than boundary ";
    const std::wstring osRefused = L"upgrade skip OS less than the boundary ";
    const BoundRow rows[] = {
        // The two controls: the system exactly at the OS bound, and above it.
        {"OS bound 6.1 refuses Windows 7", L"6.1", L"3.1.0.0", osRefused + L"6.1"},
        {"OS bound 6.0 passes Windows 7", L"6.0", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS abc packs to 0", L"abc", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS 3.x packs to 3.0", L"3.x", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS ... has no fields", L"...", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS 99999999999999999999.1: above 255", L"99999999999999999999.1", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS 6.256: above 255", L"6.256", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS -1.-1 packs to 0xFFFFFFFF", L"-1.-1", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS -5.0 packs to 0xFFFFFB00", L"-5.0", L"3.1.0.0", passed + L"3.1.0.0"},
        {"OS 255 characters of 1.1.1...", ones255, L"3.1.0.0", osRefused + ones255},
        {"OS 400 characters, read as 255", ones400, L"3.1.0.0", osRefused + ones400.substr(0, 255)},
        {"version abc is 0.0.0.0", L"5.0", L"abc", passed + L"abc"},
        {"version 3.x is 3.0.0.0", L"5.0", L"3.x", passed + L"3.x"},
        {"version ... is 0.0.0.0", L"5.0", L"...", passed + L"..."},
        // 99999999999999999999 mod 2^32 = 1661992959, far above 3.
        {"version 99999999999999999999.1 wraps high", L"5.0", L"99999999999999999999.1",
         belowBound + L"99999999999999999999.1"},
        // 4294967299 mod 2^32 = 3: the bound is 3.1, below 3.5.
        {"version 4294967299.1 wraps to 3.1", L"5.0", L"4294967299.1", passed + L"4294967299.1"},
        {"version -1.-1 is 4294967295.4294967295", L"5.0", L"-1.-1", belowBound + L"-1.-1"},
        {"version -5.0 is 4294967291.0", L"5.0", L"-5.0", belowBound + L"-5.0"},
        {"version 3.6 refuses (control)", L"5.0", L"3.6", belowBound + L"3.6"},
        {"version of 255 characters", L"5.0", versions255, passed + versions255},
        {"version of 400 characters, read as 255", L"5.0", versions400, passed + versions400.substr(0, 255)},
    };
    for (const BoundRow& row : rows) {
        SCOPED_TRACE(row.what);
        ResetWorld();
        ASSERT_TRUE(scenario::SetHklmString(kHostKey, L"Version", installed));
        std::wstring ini = L"[VERSIONCHECK]\r\nALOWERBOUND=" + row.versionBound + L"\r\nAOSLOWERBOUND=" + row.osBound +
                           L"\r\n";
        WriteSetupIni(std::string(ini.begin(), ini.end()));
        RunResult result = RunAuto();
        ExpectCompleteRun(result, kCaller + row.firstLine);
    }
}

// A setup.ini that is not text of ours: binary junk holds no section, so the
// defaults apply; UTF-16 with a byte-order mark is read as text.
TEST_F(HostileTest, SetupIniThatIsJunkOrUtf16) {
    ASSERT_TRUE(scenario::SetHklmString(kHostKey, L"Version", L"3.5.0.0"));

    std::vector<unsigned char> junk(8192);
    unsigned int seed = 12345;
    for (unsigned char& byte : junk) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(seed >> 16);
        if (byte == '[' || byte == '=') byte = 0;  // no section header, no key
    }
    WriteSetupIni(junk);
    ExpectCompleteRun(RunAuto(), kCaller + L"upgrade criteria passed 3.5.0.0 >= 3.1.0.0");

    // Junk around a real section: the section is still found.
    std::string framed(junk.begin(), junk.begin() + 512);
    framed += "\r\n[VERSIONCHECK]\r\nALOWERBOUND=3.6.0.0\r\n";
    framed.append(junk.begin() + 512, junk.end());
    WriteSetupIni(framed);
    ExpectCompleteRun(RunAuto(), kCaller + L"upgrade skip 3.5.0.0 less than boundary 3.6.0.0");

    std::vector<unsigned char> utf16 = {0xFF, 0xFE};
    std::vector<unsigned char> body = Utf16(L"[VERSIONCHECK]\r\nALOWERBOUND=3.6.0.0\r\nAOSLOWERBOUND=5.0\r\n");
    utf16.insert(utf16.end(), body.begin(), body.end());
    WriteSetupIni(utf16);
    ExpectCompleteRun(RunAuto(), kCaller + L"upgrade skip 3.5.0.0 less than boundary 3.6.0.0");

    std::vector<unsigned char> utf16OsBound = {0xFF, 0xFE};
    body = Utf16(L"[VERSIONCHECK]\r\nAOSLOWERBOUND=6.1\r\n");
    utf16OsBound.insert(utf16OsBound.end(), body.begin(), body.end());
    WriteSetupIni(utf16OsBound);
    ExpectCompleteRun(RunAuto(), kCaller + L"upgrade skip OS less than the boundary 6.1");
}

}  // namespace
