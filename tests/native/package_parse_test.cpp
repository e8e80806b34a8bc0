#include "unpack/layout/PackageParse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

namespace {

using namespace package;
using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(PackageParse, PeOffsetIsTheSignedValueAt60) {
    struct Case {
        uint32_t stored;
        int32_t expected;
    } cases[] = {{0x80, 0x80}, {0x0000E800, 0xE800}, {0x7FFFFFFF, 0x7FFFFFFF}, {0xFFFFFFFF, -1}, {0x80000000, INT32_MIN}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        Bytes dos(64, 0xAA);
        Put32(dos, 60, c.stored);
        int32_t offset = 0;
        ASSERT_TRUE(ParsePeOffset(dos.data(), dos.size(), offset));
        EXPECT_EQ(offset, c.expected);
    }
    Bytes shortDos(63, 0);
    int32_t offset = 0;
    EXPECT_FALSE(ParsePeOffset(shortDos.data(), shortDos.size(), offset));
    EXPECT_FALSE(ParsePeOffset(nullptr, 64, offset));
}

// The security directory lies where the optional header's magic says: 152 and
// 156 in a PE32 image, 168 and 172 in a PE32+ one; any other magic is no
// image of ours.
TEST(PackageParse, SecurityDirectoryFollowsTheOptionalHeaderMagic) {
    struct Case {
        uint16_t magic;
        size_t field;  // 0: refused
        uint32_t offset, length;
        int32_t expectedLength;
    } cases[] = {
        {0x10B, 152, 0, 0, 0},
        {0x10B, 152, 54887504, 10248, 10248},
        {0x10B, 152, 0x1000, 0x80000000, INT32_MIN},
        {0x10B, 152, 0x1000, 0xFFFFFFFF, -1},
        {0x20B, 168, 54887504, 10248, 10248},
        {0x20B, 168, 0x1000, 0x80000000, INT32_MIN},
        {0x107, 0, 0x1000, 10248, 0},  // a ROM image
        {0x000, 0, 0x1000, 10248, 0},
        {0x20A, 0, 0x1000, 10248, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.magic);
        Bytes pe(264, 0x55);
        pe[24] = static_cast<uint8_t>(c.magic);
        pe[25] = static_cast<uint8_t>(c.magic >> 8);
        // Both places hold plausible values; only the right one may be taken.
        for (size_t field : {152, 168}) {
            Put32(pe, field, field == c.field ? c.offset : 0xDEAD);
            Put32(pe, field + 4, field == c.field ? c.length : 0xBEEF);
        }
        EXPECT_EQ(c.magic, ParseOptionalMagic(pe.data(), pe.size()));
        EXPECT_EQ(c.field, SecurityDirectoryField(pe.data(), pe.size()));
        uint32_t offset = 1;
        int32_t length = 1;
        ASSERT_EQ(c.field != 0, ParseSecurityDirectory(pe.data(), pe.size(), offset, length));
        if (c.field == 0) continue;
        EXPECT_EQ(offset, c.offset);
        EXPECT_EQ(length, c.expectedLength);
    }
    Bytes shortPe(247, 0);
    shortPe[24] = 0x0B;
    shortPe[25] = 0x01;
    uint32_t offset = 0;
    int32_t length = 0;
    EXPECT_FALSE(ParseSecurityDirectory(shortPe.data(), shortPe.size(), offset, length));
    Bytes shortPe64(263, 0);  // past a PE32 optional header, inside a PE32+ one
    shortPe64[24] = 0x0B;
    shortPe64[25] = 0x02;
    EXPECT_FALSE(ParseSecurityDirectory(shortPe64.data(), shortPe64.size(), offset, length));
}

TEST(PackageParse, CertificateLengthOf0x80000000OrMoreCountsAsZero) {
    struct Case {
        int32_t length;
        uint64_t distance;
    } cases[] = {
        {0, 284},
        {1, 285},
        {10248, 10532},
        {INT32_MAX, 284ull + INT32_MAX},
        {-1, 284},                 // 0xFFFFFFFF
        {INT32_MIN, 284},          // 0x80000000
        {-10248, 284},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(TrailerDistanceFromEnd(c.length), c.distance);
    }
}

TEST(PackageParse, TrailerHeaderOffsetIsTheUnsigned64BitValueAt8) {
    struct Case {
        uint8_t fill;
        uint64_t stored;
        bool store;
        uint64_t expected;
    } cases[] = {
        {0x00, 0x6E800, true, 0x6E800},
        {0x00, 0, true, 0},
        {0xFF, 0, false, std::numeric_limits<uint64_t>::max()},  // a cut-off file full of 0xFF
        {0x11, 0x123456789ABCDEF0ull, true, 0x123456789ABCDEF0ull},
    };
    for (const Case& c : cases) {
        Bytes trailer(284, c.fill);
        if (c.store) WriteLE64(trailer.data() + 8, c.stored);
        uint64_t offset = 7;
        ASSERT_TRUE(ParseTrailerHeaderOffset(trailer.data(), trailer.size(), offset));
        EXPECT_EQ(offset, c.expected);
    }
    Bytes shortTrailer(283, 0);
    uint64_t offset = 0;
    EXPECT_FALSE(ParseTrailerHeaderOffset(shortTrailer.data(), shortTrailer.size(), offset));
}

TEST(PackageParse, EntryRecordOfTheShippingPackage) {
    Bytes bytes(284, 0);
    Put32(bytes, 0, 1);
    Put32(bytes, 4, 2);
    WriteLE64(bytes.data() + 8, 54434322);
    WriteLE64(bytes.data() + 16, 54434322);
    std::memcpy(bytes.data() + 24, "package1.cab", 12);
    EntryRecord record{};
    std::string name;
    ASSERT_TRUE(ParseEntryRecord(bytes.data(), bytes.size(), record, name));
    EXPECT_EQ(record.entryCount, 1);
    EXPECT_EQ(record.marker, 2u);
    EXPECT_EQ(record.dataSize, 54434322u);
    EXPECT_EQ(record.dataSizeCopy, 54434322u);
    EXPECT_EQ(name, "package1.cab");
    EXPECT_FALSE(ParseEntryRecord(bytes.data(), 283, record, name));
}

TEST(PackageParse, NamesAreBoundedTo260BytesWithoutNul) {
    struct Case {
        const char* label;
        size_t fillLength;   // bytes of 'x' written into the name field
        size_t expectedLength;
    } cases[] = {{"empty", 0, 0}, {"short", 12, 12}, {"259 and NUL", 259, 259}, {"260 without NUL", 260, 260}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes bytes(284 + 16, 'Y');  // bytes behind the record must never be taken
        std::memset(bytes.data() + 24, 0, 260);
        std::memset(bytes.data() + 24, 'x', c.fillLength);
        EntryRecord record{};
        std::string name;
        ASSERT_TRUE(ParseEntryRecord(bytes.data(), 284, record, name));
        EXPECT_EQ(name, std::string(c.expectedLength, 'x'));
        EXPECT_EQ(BoundedName(record), name);
    }
}

TEST(PackageParse, IsSafeEntryName) {
    struct Case {
        const wchar_t* name;
        bool safe;
    } cases[] = {
        {L"package1.cab", true},
        {L"setup.ini", true},
        {L"a", true},
        {L"console.txt", true},  // only the device name itself is reserved
        {L"COM10", true},
        {L"", false},
        {L".", false},
        {L"..", false},
        {L"a\\b", false},
        {L"a/b", false},
        {L"C:x", false},
        {L"..\\x", false},
        {L"\\\\?\\C:\\x", false},
        {L"NUL", false},
        {L"con.txt", false},
        {L"COM1", false},
        {L"lpt9.log", false},
        {L"aux", false},
        {L"CONOUT$", false},
        {L"com\u00B9.txt", false},  // Windows reads the superscript one as a digit here
        {L"a.", false},
        {L"a ", false},
        {L"a:stream", false},
        {L"a*b", false},
        {L"a\tb", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::wcslen(c.name)));
        EXPECT_EQ(IsSafeEntryName(c.name), c.safe);
    }
}

TEST(PackageParse, EncodeEntryRecordRoundTripsWith64BitSizes) {
    struct Case {
        int32_t count;
        uint64_t size;
        std::string name;
    } cases[] = {{1, 54434322, "package1.cab"},
                 {3, 0, "empty.bin"},
                 {2, 0x1'0000'0001ull, "huge.cab"},
                 {7, 0xFFFFFFFFFFFFFFFFull, std::string(259, 'n')}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        Bytes bytes(284, 0xEE);
        ASSERT_TRUE(EncodeEntryRecord(c.count, c.size, c.name, bytes.data()));
        EntryRecord record{};
        std::string name;
        ASSERT_TRUE(ParseEntryRecord(bytes.data(), bytes.size(), record, name));
        EXPECT_EQ(record.entryCount, c.count);
        EXPECT_EQ(record.marker, 2u);
        EXPECT_EQ(record.dataSize, c.size);
        EXPECT_EQ(record.dataSizeCopy, c.size);
        EXPECT_EQ(name, c.name);
        for (size_t i = 24 + c.name.size(); i < 284; ++i) ASSERT_EQ(bytes[i], 0) << "name not zero-filled at " << i;
    }
    Bytes bytes(284, 0xEE);
    EXPECT_FALSE(EncodeEntryRecord(1, 1, std::string(260, 'n'), bytes.data()));
    EXPECT_FALSE(EncodeEntryRecord(1, 1, std::string("a\0b", 3), bytes.data()));
    EXPECT_EQ(bytes, Bytes(284, 0xEE));
}

TEST(PackageParse, TrailerRoundTrips) {
    TrailerRecord trailer{};
    std::memcpy(trailer.magic, kTrailerMagic, sizeof(trailer.magic));
    trailer.headerOffset = 0x6E800;
    trailer.formatVersion = kTrailerFormatVersion;
    trailer.entryCount = 3;
    trailer.packageLength = 0x1'2345'6789ull;
    for (size_t i = 0; i < sizeof(trailer.sha256); ++i) trailer.sha256[i] = static_cast<uint8_t>(i * 7 + 1);
    Bytes bytes(284, 0xEE);
    EncodeTrailer(trailer, bytes.data());
    uint64_t headerOffset = 0;
    ASSERT_TRUE(ParseTrailerHeaderOffset(bytes.data(), bytes.size(), headerOffset));
    EXPECT_EQ(headerOffset, 0x6E800u);
    EXPECT_EQ(std::memcmp(bytes.data(), "KOUPKG01", 8), 0);
    TrailerRecord back{};
    ASSERT_TRUE(ParseTrailer(bytes.data(), bytes.size(), back));
    EXPECT_EQ(std::memcmp(&back, &trailer, sizeof(trailer)), 0);
}

TEST(PackageParse, FillerBringsTheTrailerEndToAMultipleOf8) {
    // 284 % 8 == 4, so data ending on a multiple of 8 needs 4 filler bytes.
    struct Case {
        uint64_t entriesEnd;
        size_t filler;
    } cases[] = {{0, 4}, {1, 3}, {2, 2}, {3, 1}, {4, 0}, {5, 7}, {6, 6}, {7, 5}, {54887214, 6},
                 {0x1'0000'0004ull, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entriesEnd);
        EXPECT_EQ(FillerLength(c.entriesEnd), c.filler);
        EXPECT_EQ((c.entriesEnd + c.filler + 284) % 8, 0u);
    }
}

}  // namespace
