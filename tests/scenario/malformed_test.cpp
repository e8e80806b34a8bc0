// Malformed packages through the real UnPackFile.exe: a valid package (the
// sample host cabinet and a small text file behind the built unpacker) is
// damaged in hundreds of ways by a table of generators (cut short, offsets,
// counts, sizes, names, certificate table, random flips from a fixed seed), and
// every damaged file is run in auto mode, delivered in a mox\<download>\data
// layout or in a plain folder, with an older host installed so that the run
// reaches the extraction. Every run must end on its own with exit code 0, show
// no box but the disk-space box, finish its log, reach one of the outcomes a
// run can have, and write nothing outside the unpack folder. The generators
// damage a package without our writer's marker, so that the reader's own
// checks meet the damage; one family damages what the package check covers.
#include "tests/harness/Scenario.h"
#include "tools/package/PackageWriter.h"
#include "unpack/UnPack.h"
#include "unpack/layout/PackageLayout.h"
#include "unpack/layout/PackageParse.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace scenario;

namespace {

using Bytes = std::vector<unsigned char>;

const wchar_t kScratch[] = L"malformed";
const wchar_t kCheckLine[] = L"[CUnPack::CheckPackage] ";
const wchar_t kDamagedLine[] = L"[CUnPack::CheckPackage] Package damaged: ";
// The installation commands cost several seconds under Wine; every variant
// whose index is a multiple of this runs them all, the others have the
// expansion stand-in fail at once and are judged by the cabinet extracted.
const int kFullCommandsEvery = 8;
const DWORD kRunLimitMs = 60000;

// ---- Outcomes ---------------------------------------------------------------------

enum Outcome : unsigned {
    kNoPackage = 1u << 0,      // the reader found no package: nothing extracted
    kUnpackFailed = 1u << 1,   // extraction started and failed (disk space, a failed read)
    kPathMissing = 1u << 2,    // the unpack folder did not exist afterwards
    kExpandFailed = 1u << 3,   // extracted, but the cabinet did not expand
    kInstallFailed = 1u << 4,  // VYAuto.exe -i failed (no installer expanded)
    kLaunchFailed = 1u << 5,   // VYAuto.exe -r failed
    kInstalled = 1u << 6,      // all four commands ran and were accepted
    kExtracted = 1u << 7,      // the cabinet came out whole; the test stopped the run at the expansion
    kUnknown = 1u << 8,
};
const unsigned kAnyOutcome = kNoPackage | kUnpackFailed | kPathMissing | kExpandFailed | kInstallFailed |
                             kLaunchFailed | kInstalled;
// Whatever was extracted, the cabinet did not come through whole.
const unsigned kRefused = kAnyOutcome & ~kInstalled;

const struct {
    Outcome outcome;
    const char* word;
} kOutcomeWords[] = {
    {kNoPackage, "no-package"},         {kUnpackFailed, "unpack-failed"}, {kPathMissing, "path-missing"},
    {kExpandFailed, "expand-failed"},   {kInstallFailed, "install-failed"}, {kLaunchFailed, "launch-failed"},
    {kInstalled, "installed"},          {kExtracted, "extracted-whole"},  {kUnknown, "unknown"},
};

const char* WordOf(Outcome outcome) {
    for (const auto& entry : kOutcomeWords)
        if (entry.outcome == outcome) return entry.word;
    return "?";
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// What the run's log says became of it.
Outcome Classify(const std::vector<LogLine>& log) {
    const std::wstring skip = std::wstring(kCaller) + L"upgrade skip ";
    for (const LogLine& line : log) {
        if (!StartsWith(line.message, skip)) continue;
        std::wstring why = line.message.substr(skip.size());
        if (StartsWith(why, L"path not exist")) return kPathMissing;
        if (StartsWith(why, L"expand err")) return kExpandFailed;
        if (StartsWith(why, L"install service err")) return kInstallFailed;
        if (StartsWith(why, L"launch service err")) return kLaunchFailed;
        if (why == L"unpack not success")
            return HasLineStarting(log, L"[CUnPack::UnPackFiles]") || HasLineStarting(log, kCheckLine) ? kUnpackFailed
                                                                                                          : kNoPackage;
        return kUnknown;
    }
    int finished = 0;
    for (const LogLine& line : log)
        if (StartsWith(line.message, L"[CUnPackFileApp::ExecuteCommand] pid:") &&
            line.message.find(L" finish ecode:") != std::wstring::npos)
            ++finished;
    return finished == 4 ? kInstalled : kUnknown;
}

// ---- The world around a run -------------------------------------------------------

std::wstring WindowsFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetWindowsDirectoryW(folder, MAX_PATH);
    return folder;
}

std::wstring TempFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    std::wstring path = folder;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

std::wstring MakerFolder() { return ProgramFilesX86() + L"\\Kestrune"; }
std::wstring UnpackParent() { return MakerFolder() + L"\\Kestrune Remote"; }
std::wstring UnpackFolder() { return UnpackParent() + L"\\AutoUpdate"; }

struct Listed {
    std::wstring name;
    bool folder;
};

std::vector<Listed> Listing(const std::wstring& folder) {
    std::vector<Listed> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back({found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// True when a cabinet in the folder holds exactly these bytes, or with
// atLeast, these bytes followed by any others (which expand.exe ignores).
bool HoldsWholeCabinet(const std::wstring& folder, const Bytes& cabinet, bool atLeast = false) {
    for (const Listed& item : Listing(folder)) {
        size_t length = item.name.size();
        if (item.folder || length < 4 || _wcsicmp(item.name.c_str() + length - 4, L".cab") != 0) continue;
        Bytes bytes = ReadFileBytes(folder + L"\\" + item.name);
        if (atLeast && bytes.size() > cabinet.size()) bytes.resize(cabinet.size());
        if (bytes == cabinet) return true;
    }
    return false;
}

// Names a damaged entry name could land on when the unpacker let it out of its
// folder (Windows strips trailing dots and blanks, and "evil.txt:stream" is a
// stream of evil.txt).
const wchar_t* const kEvilNames[] = {L"evil.txt", L"evil", L"sub"};

// Every folder a climbing, rooted or relative name could reach. An escaped
// file is reported and removed, so that one fault is not reported again by
// every later run.
std::vector<std::wstring> EscapedFiles(const std::vector<std::wstring>& folders) {
    std::vector<std::wstring> found;
    for (const std::wstring& folder : folders)
        for (const wchar_t* name : kEvilNames) {
            std::wstring path = folder + L"\\" + name;
            if (!PathExists(path)) continue;
            found.push_back(path);
            if (!DeleteFileW(path.c_str())) RemoveTree(path);
        }
    return found;
}

// ---- The valid package and where its parts lie ------------------------------------

struct Base {
    Bytes bytes;
    uint64_t header = 0;   // entry record 1
    uint64_t size1 = 0;    // the cabinet's data size
    uint64_t record2 = 0;  // entry record 2
    uint64_t size2 = 0;    // the text file's data size
    uint64_t filler = 0;   // where the filler starts
    uint64_t trailer = 0;  // where the trailer starts
    uint64_t length() const { return bytes.size(); }
    uint64_t data1() const { return header + package::kRecordSize; }
    uint64_t data2() const { return record2 + package::kRecordSize; }
    uint32_t peOffset() const { return package::ReadLE32(&bytes[package::kPeOffsetField]); }
    // Where the certificate table's offset and length lie: 152 and 156 from
    // e_lfanew in the shipped 32-bit image, 168 and 172 in the x86-64 build.
    uint64_t certificateOffsetField() const {
        return peOffset() + package::SecurityDirectoryField(&bytes[peOffset()], bytes.size() - peOffset());
    }
    uint64_t certificateSizeField() const { return certificateOffsetField() + 4; }
};

struct Variant {
    std::string name;
    Bytes bytes;
    unsigned allowed = kAnyOutcome;
    const wchar_t* checkLine = nullptr;  // refused by the package check with this line, nothing written
    int sameLogAs = -1;    // runs as that earlier row did, and must log exactly what it logged
};

using Generator = void (*)(const Base&, std::vector<Variant>&);

Variant Copy(const Base& base, const std::string& name, unsigned allowed = kAnyOutcome) {
    Variant v;
    v.name = name;
    v.bytes = base.bytes;
    v.allowed = allowed;
    return v;
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

void Put32(Bytes& bytes, uint64_t at, uint32_t value) { package::WriteLE32(&bytes[at], value); }
void Put64(Bytes& bytes, uint64_t at, uint64_t value) { package::WriteLE64(&bytes[at], value); }

// The package behind the image, cut at the point; with retrail, the original
// filler and trailer are put back behind the cut, so the reader finds the
// package and meets the cut record or data itself.
Bytes Cut(const Base& base, uint64_t at, bool retrail) {
    Bytes bytes(base.bytes.begin(), base.bytes.begin() + static_cast<std::ptrdiff_t>(at));
    if (retrail) {
        while ((bytes.size() + package::kRecordSize) % package::kAlignment != 0) bytes.push_back(0);
        bytes.insert(bytes.end(), base.bytes.end() - package::kRecordSize, base.bytes.end());
    }
    return bytes;
}

// ---- Generators ---------------------------------------------------------------------

void Truncations(const Base& b, std::vector<Variant>& out) {
    struct Point {
        const char* what;
        uint64_t at;
    };
    const Point starts[] = {{"record1", b.header}, {"data1", b.data1()}, {"record2", b.record2},
                            {"data2", b.data2()},  {"filler", b.filler}, {"trailer", b.trailer}};
    struct Named {
        std::string name;
        uint64_t at;
    };
    std::vector<Named> points;
    for (const Point& p : starts)
        for (uint64_t step : {0ull, 1ull, 8ull, 283ull})
            points.push_back({std::string(p.what) + "+" + std::to_string(step), p.at + step});
    points.push_back({"data1-middle", b.data1() + b.size1 / 2});
    points.push_back({"data1-last", b.data1() + b.size1 - 1});
    points.push_back({"data2-middle", b.data2() + b.size2 / 2});
    points.push_back({"trailer-field", b.trailer + 12});
    points.push_back({"trailer-last", b.length() - 1});
    for (const Named& p : points) {
        if (p.at >= b.length()) continue;
        // Cut off there: the trailer is gone with the rest.
        Variant cut;
        cut.name = "cut@" + p.name;
        cut.bytes = Cut(b, p.at, false);
        cut.allowed = p.at < b.trailer ? kRefused : kAnyOutcome;
        out.push_back(cut);
        if (p.at < b.trailer) {
            Variant retrailed;
            retrailed.name = "cut-retrailed@" + p.name;
            retrailed.bytes = Cut(b, p.at, true);
            // The cabinet survives when the cut lies behind its data, or when
            // the filler put in the place of its last bytes repeats them (a
            // cabinet that ends in zeros, cut by fewer bytes than the filler).
            const uint64_t dataEnd = b.data1() + b.size1;
            const bool survives =
                p.at >= b.record2 ||
                (retrailed.bytes.size() >= dataEnd &&
                 std::equal(b.bytes.begin() + static_cast<std::ptrdiff_t>(b.data1()),
                            b.bytes.begin() + static_cast<std::ptrdiff_t>(dataEnd),
                            retrailed.bytes.begin() + static_cast<std::ptrdiff_t>(b.data1())));
            retrailed.allowed = survives ? kAnyOutcome : kRefused;
            out.push_back(retrailed);
        }
    }
    Variant noTrailer;
    noTrailer.name = "trailer-removed";
    noTrailer.bytes = Cut(b, b.trailer, false);
    noTrailer.allowed = kRefused;
    out.push_back(noTrailer);
}

void HeaderOffsets(const Base& b, std::vector<Variant>& out) {
    struct Offset {
        const char* what;
        uint64_t value;
        unsigned allowed;
    };
    const Offset offsets[] = {
        {"zero", 0, kNoPackage},
        {"one", 1, kAnyOutcome},
        {"dos-header", 60, kAnyOutcome},
        {"pe-header", b.peOffset(), kAnyOutcome},
        {"image-middle", b.header / 2, kAnyOutcome},
        {"image-end-284", b.header - 284, kAnyOutcome},
        {"image-end-1", b.header - 1, kAnyOutcome},
        {"record1+1", b.header + 1, kAnyOutcome},
        {"record1+24", b.header + 24, kAnyOutcome},
        {"data1", b.data1(), kAnyOutcome},
        {"data1-middle", b.data1() + b.size1 / 2, kAnyOutcome},
        {"record2", b.record2, kAnyOutcome},
        {"data2", b.data2(), kAnyOutcome},
        {"filler", b.filler, kAnyOutcome},
        {"trailer", b.trailer, kNoPackage},
        {"trailer+8", b.trailer + 8, kNoPackage},
        {"last-byte", b.length() - 1, kNoPackage},
        {"end", b.length(), kNoPackage},
        {"past-end", b.length() + 1, kNoPackage},
        {"far-past-end", b.length() * 16, kNoPackage},
        {"2^32-1", 0xFFFFFFFFull, kNoPackage},
        {"2^32+header", 0x100000000ull + b.header, kNoPackage},
        {"2^63-1", 0x7FFFFFFFFFFFFFFFull, kNoPackage},
        {"2^63", 0x8000000000000000ull, kNoPackage},
        {"2^64-1", 0xFFFFFFFFFFFFFFFFull, kNoPackage},
    };
    for (const Offset& o : offsets) {
        Variant v = Copy(b, std::string("header-offset=") + o.what, o.allowed);
        Put64(v.bytes, b.trailer + 8, o.value);
        out.push_back(v);
    }
}

void EntryCounts(const Base& b, std::vector<Variant>& out) {
    const int32_t counts[] = {0, -1, INT32_MIN, 1, 3, 100, INT32_MAX};
    for (int32_t count : counts) {
        // Zero or less ends the loop before the first entry: nothing is extracted
        // and the expansion finds no cabinet.
        unsigned both = count <= 0 ? kExpandFailed : kAnyOutcome;
        unsigned first = count <= 0 ? kExpandFailed : count == 1 ? kInstalled : kAnyOutcome;
        Variant v = Copy(b, "count-both=" + std::to_string(count), both);
        Put32(v.bytes, b.header, static_cast<uint32_t>(count));
        Put32(v.bytes, b.record2, static_cast<uint32_t>(count));
        out.push_back(v);
        v = Copy(b, "count-record1=" + std::to_string(count), first);
        Put32(v.bytes, b.header, static_cast<uint32_t>(count));
        out.push_back(v);
        // The second record alone decides only whether it is taken: the cabinet
        // is extracted before it in every case.
        v = Copy(b, "count-record2=" + std::to_string(count), kInstalled);
        Put32(v.bytes, b.record2, static_cast<uint32_t>(count));
        out.push_back(v);
    }
    const int32_t pairs[][2] = {{1, 2}, {2, 1}, {2, 3}, {3, 2}, {2, 0}, {0, 2}, {5, 7}, {2, INT32_MIN}};
    for (const auto& pair : pairs) {
        Variant v = Copy(b, "count-pair=" + std::to_string(pair[0]) + "," + std::to_string(pair[1]),
                         pair[0] <= 0 ? kExpandFailed : kInstalled);
        Put32(v.bytes, b.header, static_cast<uint32_t>(pair[0]));
        Put32(v.bytes, b.record2, static_cast<uint32_t>(pair[1]));
        out.push_back(v);
    }
}

void DataSizes(const Base& b, std::vector<Variant>& out) {
    struct Size {
        const char* what;
        uint64_t value;
    };
    for (int record = 1; record <= 2; ++record) {
        uint64_t at = record == 1 ? b.header : b.record2;
        uint64_t real = record == 1 ? b.size1 : b.size2;
        const Size sizes[] = {
            {"zero", 0},
            {"one", 1},
            {"real-1", real - 1},
            {"real+1", real + 1},
            {"real+284", real + 284},
            {"to-end", b.length() - at - package::kRecordSize},
            {"past-end", b.length()},
            {"2^31-1", 0x7FFFFFFFull},
            {"2^31", 0x80000000ull},
            {"2^32-1", 0xFFFFFFFFull},
            {"2^32+real", 0x100000000ull + real},
            {"2^62", 0x4000000000000000ull},
            {"2^63", 0x8000000000000000ull},
            {"2^64-1", 0xFFFFFFFFFFFFFFFFull},
        };
        for (const Size& s : sizes) {
            // The cabinet must come out whole for the installation to succeed;
            // sizes beyond any disk are refused with the disk-space box.
            unsigned allowed = kAnyOutcome;
            if (s.value >= 0x4000000000000000ull) allowed = kUnpackFailed;
            else if (record == 1 && s.value < real) allowed = kRefused;
            Variant v = Copy(b, "size-record" + std::to_string(record) + "=" + s.what, allowed);
            Put64(v.bytes, at + 8, s.value);
            out.push_back(v);
        }
    }
}

// An entry name field of exactly these bytes (up to 260; no NUL added when full).
void PutName(Bytes& bytes, uint64_t record, const std::string& name) {
    unsigned char* field = &bytes[record + 24];
    std::memset(field, 0, package::kNameSize);
    std::memcpy(field, name.data(), std::min(name.size(), package::kNameSize));
}

void Names(const Base& b, std::vector<Variant>& out) {
    const std::string names[] = {
        "",
        "..\\evil.txt",
        "../evil.txt",
        "..\\..\\evil.txt",
        "..\\..\\..\\evil.txt",
        "C:\\evil.txt",
        "C:evil.txt",
        "\\\\?\\C:\\evil.txt",
        "\\\\.\\C:\\evil.txt",
        "\\evil.txt",
        "/evil.txt",
        "sub\\evil.txt",
        "sub/evil.txt",
        "evil.txt:stream",
        "evil.txt::$DATA",
        "evil.txt.",
        "evil.txt ",
        "CON",
        "NUL.txt",
        "nul",
        "AUX.cab",
        "COM1",
        "LPT9.txt",
        "CONOUT$",
        "..",
        ".",
        "...",
        "evil\x01.txt",
        std::string(259, 'a'),
        std::string(260, 'b'),
        std::string(196, 'c') + ".cab",
        std::string(86, '.') + "\\" + std::string(86, '.') + "\\evil.txt",
    };
    for (int record = 1; record <= 2; ++record) {
        uint64_t at = record == 1 ? b.header : b.record2;
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
            const std::string& name = names[i];
            // Every name on the cabinet's record; on the second record (whose
            // runs cost the whole installation) the names that climb or root.
            if (record == 2 && name.find("evil") == std::string::npos && name != "..") continue;
            // A refused name passes its entry over: without the cabinet the
            // expansion fails; without the text file the upgrade goes on.
            unsigned allowed = record == 1 ? kExpandFailed : kInstalled;
            // A name that the platform accepts as it is, inside the folder.
            if (record == 1 && name.size() == 200) allowed = kExpandFailed | kInstalled;
            std::string shown = name.size() > 40 ? std::to_string(name.size()) + "-bytes-" + std::to_string(i) : name;
            Variant v = Copy(b, "name-record" + std::to_string(record) + "=\"" + shown + "\"", allowed);
            PutName(v.bytes, at, name);
            out.push_back(v);
        }
    }
    // No NUL anywhere in the field, followed directly by the data size of the
    // record that comes next.
    Variant v = Copy(b, "name-record1=260-bytes-climbing", kExpandFailed);
    std::string climb;
    while (climb.size() < package::kNameSize) climb += "..\\";
    PutName(v.bytes, b.header, climb.substr(0, package::kNameSize));
    out.push_back(v);
}

void CertificateSizes(const Base& b, std::vector<Variant>& out) {
    struct Size {
        const char* what;
        uint64_t value;
        unsigned allowed;
    };
    const uint64_t len = b.length();
    const Size sizes[] = {
        {"zero", 0, kInstalled},
        {"2^31", 0x80000000ull, kInstalled},
        {"2^32-1", 0xFFFFFFFFull, kInstalled},
        {"2^32-8", 0xFFFFFFF8ull, kInstalled},
        {"2^31-1", 0x7FFFFFFFull, kNoPackage},
        {"one", 1, kAnyOutcome},
        {"seven", 7, kAnyOutcome},
        {"eight", 8, kAnyOutcome},
        {"284", 284, kAnyOutcome},
        {"filler+284", b.length() - b.filler, kAnyOutcome},
        {"record2-to-end", len - b.record2 - 284, kAnyOutcome},
        {"header-to-end", len - b.header - 284, kAnyOutcome},
        {"length-284", len - 284, kNoPackage},
        {"length-283", len - 283, kNoPackage},
        {"length-1", len - 1, kNoPackage},
        {"length", len, kNoPackage},
        {"length+1", len + 1, kNoPackage},
        {"twice-length", len * 2, kNoPackage},
    };
    for (const Size& s : sizes) {
        Variant v = Copy(b, std::string("certificate-size=") + s.what, s.allowed);
        Put32(v.bytes, b.certificateSizeField(), static_cast<uint32_t>(s.value));
        out.push_back(v);
    }

    // A certificate table behind the trailer whose recorded size is not what is
    // really there, or a trailer that does not end where the table begins.
    const uint32_t table = 1024;
    for (int delta : {-284, -9, -8, -7, -1, 0, 1, 7, 8, 284}) {
        Variant v = Copy(b, "certificate-table-size" + std::string(delta >= 0 ? "+" : "") + std::to_string(delta),
                         delta == 0 ? kInstalled : kAnyOutcome);
        uint64_t tableAt = v.bytes.size();
        for (uint32_t i = 0; i < table; ++i) v.bytes.push_back(static_cast<unsigned char>(0xA5 ^ i));
        Put32(v.bytes, b.certificateOffsetField(), static_cast<uint32_t>(tableAt));
        Put32(v.bytes, b.certificateSizeField(), static_cast<uint32_t>(static_cast<int64_t>(table) + delta));
        out.push_back(v);
    }
    // Filler left out by the writer, then zero bytes up to the next multiple of
    // 8 put in by the signing tool ahead of its table: the trailer is read off.
    for (uint64_t pad = 1; pad < package::kAlignment; ++pad) {
        Variant v;
        v.name = "trailer-off-table-by-" + std::to_string(pad);
        v.allowed = kAnyOutcome;
        v.bytes.assign(b.bytes.begin(), b.bytes.begin() + static_cast<std::ptrdiff_t>(b.filler));
        v.bytes.insert(v.bytes.end(), b.bytes.end() - package::kRecordSize, b.bytes.end());
        v.bytes.insert(v.bytes.end(), pad, 0);
        uint64_t tableAt = v.bytes.size();
        for (uint32_t i = 0; i < table; ++i) v.bytes.push_back(static_cast<unsigned char>(i * 7));
        Put32(v.bytes, b.certificateOffsetField(), static_cast<uint32_t>(tableAt));
        Put32(v.bytes, b.certificateSizeField(), table);
        out.push_back(v);
    }
}

// Bytes flipped at random, from a fixed seed, in the two entry records and
// the trailer: the same files on every run. Nine flips in ten hit a field the
// unpacker reads (count, data size, the name's start, the header offset); the
// rest land anywhere in the 284 bytes, where unread fields must not matter.
void RandomFlips(const Base& b, std::vector<Variant>& out) {
    std::mt19937 random(20240611u);
    struct Field {
        uint64_t at;
        uint64_t length;
    };
    const Field read[] = {{b.header, 4},       {b.header + 8, 8},  {b.header + 24, 16}, {b.record2, 4},
                          {b.record2 + 8, 8},  {b.record2 + 24, 16}, {b.trailer + 8, 8}};
    const uint64_t records[] = {b.header, b.record2, b.trailer};
    for (int i = 0; i < 85; ++i) {
        Variant v = Copy(b, "flip-" + std::to_string(i));
        int flips = 1 + static_cast<int>(random() % 3);
        std::string where;
        for (int f = 0; f < flips; ++f) {
            uint64_t at = 0;
            if (random() % 10 != 0) {
                const Field& field = read[random() % (sizeof(read) / sizeof(read[0]))];
                at = field.at + random() % field.length;
            } else {
                at = records[random() % 3] + random() % package::kRecordSize;
            }
            unsigned char mask = static_cast<unsigned char>(1 + random() % 255);
            v.bytes[at] ^= mask;
            where += "," + Hex(at) + "^" + Hex(mask);
        }
        v.name += where;
        out.push_back(v);
    }
}

// A package whose trailer does not carry our writer's marker: the check passes
// over it, and the reader's own checks are all that stand.
Base Unmarked(const Base& b) {
    Base unmarked = b;
    std::memset(&unmarked.bytes[b.trailer], 0, sizeof(package::kTrailerMagic));
    return unmarked;
}

// One damaged byte or length where the trailer's digest and length cover the
// package, and a format version not known here (refused with its own line);
// the intact package and one without the marker log exactly as before there
// was a check.
void PackageChecks(const Base& b, std::vector<Variant>& out) {
    const uint64_t length = b.trailer + offsetof(package::TrailerRecord, packageLength);
    out.push_back(Copy(b, "intact", kInstalled));
    const std::pair<const char*, uint64_t> flips[] = {{"data1", b.data1() + b.size1 / 2}, {"data2", b.data2()}, {"record1-unread", b.header + 4},
                 {"record2-name-tail", b.record2 + 200}, {"filler", b.filler},
                 {"trailer-digest", b.trailer + offsetof(package::TrailerRecord, sha256) + 31}};
    for (const auto& flip : flips) {
        Variant v = Copy(b, std::string("digest-covers-") + flip.first, kUnpackFailed);
        v.bytes[flip.second] ^= 0x40;
        v.checkLine = kDamagedLine;
        out.push_back(v);
    }
    for (int64_t delta : {1, -1, -8}) {
        Variant v = Copy(b, "recorded-length" + std::string(delta > 0 ? "+" : "") + std::to_string(delta), kUnpackFailed);
        Put64(v.bytes, length, package::ReadLE64(&v.bytes[length]) + static_cast<uint64_t>(delta));
        v.checkLine = kDamagedLine;
        out.push_back(v);
    }
    // The filler is never read: flipped there, only the check could notice.
    Variant v = Copy(Unmarked(b), "unmarked-filler-flipped", kInstalled);
    v.bytes[b.filler] ^= 0x40;
    v.sameLogAs = 0;
    out.push_back(v);
    v = Copy(b, "format-version-2-filler-flipped", kUnpackFailed);
    Put32(v.bytes, b.trailer + offsetof(package::TrailerRecord, formatVersion), 2);
    v.bytes[b.filler] ^= 0x40;
    v.checkLine = L"[CUnPack::CheckPackage] Package format 2 is not known to this unpacker";
    out.push_back(v);
}

const struct Family {
    const char* name;
    Generator make;
} kFamilies[] = {
    {"Truncations", Truncations}, {"HeaderOffsets", HeaderOffsets},       {"EntryCounts", EntryCounts},
    {"DataSizes", DataSizes},     {"Names", Names},                       {"CertificateSizes", CertificateSizes},
    {"RandomFlips", RandomFlips}, {"PackageChecks", PackageChecks},
};

// ---- Tally ---------------------------------------------------------------------------

struct Tally {
    int runs = 0;
    int mox = 0;
    int plain = 0;
    int diskSpaceBoxes = 0;
    std::map<Outcome, int> outcomes;
    void Add(const Tally& other) {
        runs += other.runs;
        mox += other.mox;
        plain += other.plain;
        diskSpaceBoxes += other.diskSpaceBoxes;
        for (const auto& entry : other.outcomes) outcomes[entry.first] += entry.second;
    }
    std::string Text() const {
        std::string text = std::to_string(runs) + " variants run (" + std::to_string(mox) + " as mox\\download\\data, " +
                           std::to_string(plain) + " in a plain folder):";
        for (const auto& entry : kOutcomeWords) {
            auto found = outcomes.find(entry.outcome);
            text += std::string(" ") + entry.word + "=" + std::to_string(found == outcomes.end() ? 0 : found->second);
        }
        return text + "; disk-space boxes=" + std::to_string(diskSpaceBoxes);
    }
};

Tally& Total() {
    static Tally total;
    return total;
}

bool ReadBaseLayout(Base& base) {
    const Bytes& bytes = base.bytes;
    if (bytes.size() < 2 * package::kRecordSize) return false;
    base.trailer = bytes.size() - package::kRecordSize;
    base.header = package::ReadLE64(&bytes[base.trailer + 8]);
    if (base.header == 0 || base.header + package::kRecordSize > base.trailer) return false;
    base.size1 = package::ReadLE64(&bytes[base.header + 8]);
    base.record2 = base.data1() + base.size1;
    if (base.record2 + package::kRecordSize > base.trailer) return false;
    base.size2 = package::ReadLE64(&bytes[base.record2 + 8]);
    base.filler = base.data2() + base.size2;
    return base.filler <= base.trailer && package::ReadLE32(&bytes[base.header]) == 2;
}

class MalformedFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorld();
        ASSERT_TRUE(SetHklmString(kHostKey, L"Version", L"3.5.0.0"));
        root = ScratchFolder(kScratch);
        workingFolder = root + L"\\cwd";
        ASSERT_TRUE(CreateFolders(workingFolder));

        // The valid package: the sample host cabinet and a small text file, sized
        // so that the filler is not empty.
        std::wstring cabinet = root + L"\\package1.cab";
        ASSERT_TRUE(CopyFileTo(WindowsPathOf(UNPACK_CABINETS_DIR_FOR_TESTS) + L"\\host-compressed.cab", cabinet));
        std::wstring notes = root + L"\\notes.txt";
        std::string text = "Kestrune Ostrel upgrade notes\r\n";
        uint64_t cabinetSize = ReadFileBytes(cabinet).size();
        while ((cabinetSize + text.size()) % package::kAlignment != 3) text += "-";
        ASSERT_TRUE(WriteTextFile(notes, text));
        std::wstring packed = root + L"\\packed.exe";
        std::string error;
        ASSERT_TRUE(package::PackFiles(Narrow(ProductExe()), {Narrow(cabinet), Narrow(notes)}, Narrow(packed), error))
            << error;
        base.bytes = ReadFileBytes(packed);
        cabinetBytes = ReadFileBytes(cabinet);
        ASSERT_FALSE(cabinetBytes.empty());
        ASSERT_TRUE(ReadBaseLayout(base));
        ASSERT_EQ(base.size2, text.size());
        ASSERT_GT(base.trailer, base.filler);
    }

    void TearDown() override {
        // The delayed removals of the mox runs wait 5 s for their program to end.
        for (const std::wstring& folder : downloadFolders) {
            bool gone = false;
            for (int waited = 0; waited < 120 && !(gone = !PathExists(folder)); ++waited) Sleep(250);
            EXPECT_TRUE(gone) << "download folder not removed: " << Narrow(folder);
        }
        RemoveTree(root);
        ResetWorld();
    }

    static void ResetWorld() { ResetUpgradeWorld(); }

    // Runs one damaged package and checks everything a run must respect.
    void RunVariant(const Variant& v, int index, Tally& tally) {
        SCOPED_TRACE(v.name);
        // A row compared with another runs in that row's layout and mode.
        const int mode = v.sameLogAs >= 0 ? v.sameLogAs : index;
        bool mox = mode % 2 == 0;
        std::wstring variantRoot = root + L"\\v" + std::to_wstring(index);
        std::wstring exeFolder = mox ? variantRoot + L"\\mox\\download\\data" : variantRoot + L"\\plain";
        std::wstring exe = exeFolder + L"\\UnPackFile.exe";
        ASSERT_TRUE(WriteFileBytes(exe, v.bytes));

        bool fullCommands = mode % kFullCommandsEvery == 0;
        SetEnvironmentVariableW(L"UNPACK_TEST_EXPAND_EXIT", fullCommands ? nullptr : L"1");
        ResetLog();
        RunOptions options;
        options.exe = exe;
        options.args = {L"/S"};
        options.workingFolder = workingFolder;
        options.timeoutMs = kRunLimitMs;
        RunResult result = scenario::Run(options);
        SetEnvironmentVariableW(L"UNPACK_TEST_EXPAND_EXIT", nullptr);

        ++tally.runs;
        ++(mox ? tally.mox : tally.plain);
        EXPECT_TRUE(result.finished) << "still running at the limit\n" << DescribeRun(result);
        EXPECT_EQ(0u, result.exitCode) << DescribeRun(result);

        // Only the disk-space box may appear, and only with its log line.
        int diskBoxes = 0;
        for (const BoxSeen& box : result.boxes) {
            if (box.text == kDiskSpaceText && box.caption == kProductName)
                ++diskBoxes;
            else
                ADD_FAILURE() << "unexpected box [" << Narrow(box.caption) << "] " << Narrow(box.text);
        }
        tally.diskSpaceBoxes += diskBoxes;
        bool diskLine = false;
        for (const LogLine& line : result.log)
            if (line.message == std::wstring(L"[CUnPack::UnPackFiles] ") + kDiskSpaceText) diskLine = true;
        EXPECT_EQ(diskLine ? 1 : 0, diskBoxes) << DescribeRun(result);

        Outcome outcome = Classify(result.log);
        bool wholeCabinet = HoldsWholeCabinet(UnpackFolder(), cabinetBytes);
        unsigned allowed = v.allowed;
        if (!fullCommands) {
            if (outcome == kExpandFailed && wholeCabinet) outcome = kExtracted;
            if (allowed & kInstalled) allowed |= kExtracted;
        }
        ++tally.outcomes[outcome];
        EXPECT_NE(kUnknown, outcome) << DescribeRun(result);
        if (outcome == kInstalled) {
            EXPECT_TRUE(HoldsWholeCabinet(UnpackFolder(), cabinetBytes, true)) << "installed without the whole cabinet";
        }
        EXPECT_TRUE((allowed & outcome) != 0) << "outcome " << WordOf(outcome) << " not expected\n" << DescribeRun(result);

        // The log is complete: the run's own last line, and the extraction's
        // result agrees with the driver's decision.
        ASSERT_FALSE(result.log.empty());
        const std::wstring& last = result.log.back().message;
        if (outcome == kInstalled) {
            EXPECT_TRUE(StartsWith(last, L"[CUnPackFileApp::ExecuteCommand] pid:") &&
                        last.find(L" finish ecode:") != std::wstring::npos)
                << DescribeRun(result);
        } else {
            EXPECT_EQ(kLastLine, last) << DescribeRun(result);
        }
        bool total = HasLineStarting(result.log, L"[CUnPack::UnPackFiles] UnPack total ");
        EXPECT_EQ(outcome != kNoPackage && outcome != kUnpackFailed && outcome != kPathMissing, total)
            << DescribeRun(result);
        if (diskLine) {
            EXPECT_EQ(kUnpackFailed, outcome);
        }
        for (const LogLine& line : result.log)
            EXPECT_EQ(result.log.front().processId, line.processId) << Narrow(line.raw);

        // The check writes its one line only when it refuses, and then nothing
        // of the package; it adds no line to any other run.
        std::vector<std::wstring> checkLines;
        for (const LogLine& line : result.log)
            if (StartsWith(line.message, kCheckLine)) checkLines.push_back(line.message);
        EXPECT_EQ(v.checkLine ? 1u : 0u, checkLines.size()) << DescribeRun(result);
        if (v.checkLine) {
            EXPECT_TRUE(!checkLines.empty() && StartsWith(checkLines[0], v.checkLine)) << DescribeRun(result);
            EXPECT_TRUE(Listing(UnpackFolder()).empty()) << "written from a damaged package";
        }
        // Pids, times and folder numbers aside, the log is the compared row's.
        std::vector<std::wstring>& shape = logShapes[index];
        for (const LogLine& line : result.log) {
            std::wstring text = line.message;
            for (wchar_t& c : text) c = iswdigit(c) ? L'#' : c;
            text.erase(std::unique(text.begin(), text.end(), [](wchar_t a, wchar_t b) { return a == L'#' && b == L'#'; }),
                       text.end());
            shape.push_back(text + L" (Last=" + std::to_wstring(line.lastError) + L")");
        }
        if (v.sameLogAs >= 0) {
            EXPECT_EQ(logShapes[v.sameLogAs], shape) << DescribeRun(result);
        }

        // Nothing outside the unpack folder: no escaped names anywhere within
        // reach, and the folders around it hold only what belongs there.
        std::vector<std::wstring> escaped =
            EscapedFiles({UnpackParent(), MakerFolder(), ProgramFilesX86(), L"C:", WindowsFolder(),
                          WindowsFolder() + L"\\system32", WindowsFolder() + L"\\syswow64", TempFolder(), exeFolder,
                          variantRoot, root, workingFolder, L"C:\\upf-scenario", UnpackFolder() + L"\\sub"});
        for (const std::wstring& path : escaped) ADD_FAILURE() << "written outside the unpack folder: " << Narrow(path);
        for (const Listed& item : Listing(UnpackParent()))
            EXPECT_TRUE(item.name == L"AutoUpdate" || item.name == L"aulog.txt" || item.name == L"aucab.txt")
                << "unexpected beside the unpack folder: " << Narrow(item.name);
        for (const Listed& item : Listing(MakerFolder()))
            EXPECT_EQ(L"Kestrune Remote", item.name) << "unexpected in the maker's folder";
        for (const Listed& item : Listing(UnpackFolder()))
            EXPECT_FALSE(item.folder) << "a folder inside the unpack folder: " << Narrow(item.name);
        EXPECT_TRUE(Listing(workingFolder).empty()) << "written into the current directory";
        for (const Listed& item : Listing(exeFolder))
            EXPECT_EQ(L"UnPackFile.exe", item.name) << "written beside the executable";

        if (mox) {
            downloadFolders.push_back(variantRoot + L"\\mox\\download");
        } else {
            RemoveTree(variantRoot);
        }
    }

    Base base;
    Bytes cabinetBytes;
    std::wstring root, workingFolder;
    std::vector<std::wstring> downloadFolders;
    std::map<int, std::vector<std::wstring>> logShapes;
};

class MalformedPackageTest : public MalformedFixture, public ::testing::WithParamInterface<Family> {
protected:
    static void TearDownTestSuite() {
        std::printf("[malformed] total: %s\n", Total().Text().c_str());
        std::fflush(stdout);
    }
};

TEST_P(MalformedPackageTest, NeverCrashesHangsOrWritesOutside) {
    const Family& family = GetParam();
    std::vector<Variant> variants;
    family.make(family.make == PackageChecks ? base : Unmarked(base), variants);
    ASSERT_FALSE(variants.empty());

    Tally tally;
    ULONGLONG started = GetTickCount64();
    for (size_t i = 0; i < variants.size(); ++i) {
        RunVariant(variants[i], static_cast<int>(i), tally);
        if (HasFatalFailure()) break;
    }
    std::printf("[malformed] %s: %s (%.1f s)\n", family.name, tally.Text().c_str(),
                static_cast<double>(GetTickCount64() - started) / 1000.0);
    std::fflush(stdout);
    Total().Add(tally);
}

INSTANTIATE_TEST_SUITE_P(Generators, MalformedPackageTest, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

// e_lfanew is read by the system's loader as well as by the unpacker: an
// executable whose PE-signature offset lies past the end, is negative or leaves
// less than the 248 header bytes never starts on Windows (the loader refuses it),
// so the unpacker's own reader is run on those files in this process. The real
// file is started too, to show that none of the unpacker's code runs: Wine does
// not refuse the start but hands the file to winevdm as a DOS program, and for
// an e_lfanew of -1 its loader faults and starts its debugger, which the time
// limit ends.
TEST_F(MalformedFixture, PeSignatureOffsetOutsideTheFileIsNoPackage) {
    const uint64_t len = base.length();
    const struct {
        const char* what;
        int64_t value;
    } offsets[] = {
        {"length", static_cast<int64_t>(len)},
        {"length+1", static_cast<int64_t>(len) + 1},
        {"length+4096", static_cast<int64_t>(len) + 4096},
        {"2^31-1", INT32_MAX},
        {"-1", -1},
        {"-248", -248},
        {"-2^31", INT32_MIN},
        {"length-1", static_cast<int64_t>(len) - 1},
        {"length-100", static_cast<int64_t>(len) - 100},
        {"length-247", static_cast<int64_t>(len) - 247},
    };
    int ended = 0, killed = 0, refused = 0;
    for (size_t i = 0; i < sizeof(offsets) / sizeof(offsets[0]); ++i) {
        SCOPED_TRACE(offsets[i].what);
        Bytes bytes = base.bytes;
        Put32(bytes, package::kPeOffsetField, static_cast<uint32_t>(offsets[i].value));
        std::wstring folder = root + L"\\pe" + std::to_wstring(i);
        std::wstring exe = folder + L"\\UnPackFile.exe";
        ASSERT_TRUE(WriteFileBytes(exe, bytes));

        CUnPack reader(exe);
        EXPECT_EQ(0u, reader.FindHeader());

        ResetLog();
        RunOptions options;
        options.exe = exe;
        options.args = {L"/S"};
        options.workingFolder = workingFolder;
        options.timeoutMs = 15000;
        RunResult result = scenario::Run(options);
        if (result.finished)
            ++ended;
        else if (result.exitCode == ERROR_BAD_EXE_FORMAT)
            ++refused;
        else
            ++killed;
        EXPECT_TRUE(result.log.empty()) << DescribeRun(result);
        for (const BoxSeen& box : result.boxes)
            ADD_FAILURE() << "unexpected box [" << Narrow(box.caption) << "] " << Narrow(box.text);
        EXPECT_TRUE(Listing(workingFolder).empty());
        EXPECT_FALSE(PathExists(UnpackFolder()));
        RemoveTree(folder);
    }
    std::printf("[malformed] PeSignatureOffsets: %d files read in process; starts: %d ended without the unpacker, "
                "%d refused by the loader, %d ended at the limit\n",
                static_cast<int>(sizeof(offsets) / sizeof(offsets[0])), ended, refused, killed);
    std::fflush(stdout);
}

}  // namespace
