// The layout of the upgrade package appended to UnPackFile.exe, defined once for
// the unpacker's reader and the writer tool. All integers are little-endian.
//
//   image | entry record 1 | data 1 | entry record 2 | data 2 | ... | filler 0-7 | trailer | certificate table
//
// The trailer ends where the certificate table begins (at the end of an unsigned
// file); the filler brings that end to a multiple of 8, where a signing tool puts
// the table, so signing adds nothing between the trailer and the table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace package {

constexpr size_t kRecordSize = 284;
constexpr size_t kNameSize = 260;
constexpr size_t kMaxNameLength = kNameSize - 1;
constexpr uint32_t kRecordMarker = 2;  // the entry record's second field
constexpr size_t kAlignment = 8;        // where a signing tool places the certificate table

// DOS and PE header fields the reader uses.
constexpr size_t kDosHeaderSize = 64;
constexpr size_t kPeOffsetField = 60;        // e_lfanew, signed 32-bit
constexpr size_t kPeHeadersSize = 248;       // signature, file header, PE32 optional header
constexpr size_t kPeHeadersSize64 = 264;     // signature, file header, PE32+ optional header
constexpr size_t kOptionalMagicField = 24;   // the optional header's magic, from e_lfanew
constexpr uint16_t kPe32Magic = 0x10B;       // a 32-bit image (PE32)
constexpr uint16_t kPe32PlusMagic = 0x20B;   // a 64-bit image (PE32+)
// The certificate table's file offset and length, from e_lfanew. A PE32+
// optional header has 8-byte fields ahead of its data directories, which
// therefore lie 16 bytes further on.
constexpr size_t kSecurityOffsetField = 152;    // PE32
constexpr size_t kSecuritySizeField = 156;
constexpr size_t kSecurityOffsetField64 = 168;  // PE32+
constexpr size_t kSecuritySizeField64 = 172;

#pragma pack(push, 1)
struct EntryRecord {
    int32_t entryCount;     // total number of entries; the same in every record
    uint32_t marker;        // 2; not read by the unpacker
    uint64_t dataSize;      // bytes of entry data behind this record
    uint64_t dataSizeCopy;  // the data size again; not read by the unpacker
    char name[kNameSize];   // ANSI code page, NUL-terminated, zero-filled
};

// headerOffset finds the package. When magic and formatVersion are ours, the
// unpacker also proves the package by packageLength and sha256 before it
// writes anything; another writer's trailer need carry only headerOffset.
struct TrailerRecord {
    char magic[8];          // kTrailerMagic
    uint64_t headerOffset;  // file offset of entry record 1; 0: no package
    uint32_t formatVersion; // kTrailerFormatVersion
    uint32_t entryCount;
    uint64_t packageLength;     // bytes from headerOffset up to the trailer (filler included)
    uint8_t sha256[32];         // over those bytes
    uint8_t reserved[kRecordSize - 8 - 8 - 4 - 4 - 8 - 32];
};
#pragma pack(pop)

static_assert(sizeof(EntryRecord) == kRecordSize, "entry record is 284 bytes");
static_assert(offsetof(EntryRecord, entryCount) == 0, "entry count at 0");
static_assert(offsetof(EntryRecord, marker) == 4, "marker at 4");
static_assert(offsetof(EntryRecord, dataSize) == 8, "data size at 8");
static_assert(offsetof(EntryRecord, dataSizeCopy) == 16, "data size copy at 16");
static_assert(offsetof(EntryRecord, name) == 24, "name at 24");
static_assert(sizeof(TrailerRecord) == kRecordSize, "trailer is 284 bytes");
static_assert(offsetof(TrailerRecord, headerOffset) == 8, "header offset at 8");

constexpr char kTrailerMagic[8] = {'K', 'O', 'U', 'P', 'K', 'G', '0', '1'};
constexpr uint32_t kTrailerFormatVersion = 1;

}  // namespace package
