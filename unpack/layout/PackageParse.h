// Plain parsing of the package's byte layout, without file I/O, so that it can
// be tested and fuzzed on its own. Every function takes the bytes it needs and
// their count, and never reads past them.
#pragma once

#include "unpack/layout/PackageLayout.h"

#include <cstdint>
#include <string>

namespace package {

uint32_t ReadLE32(const uint8_t* bytes);
uint64_t ReadLE64(const uint8_t* bytes);
void WriteLE32(uint8_t* bytes, uint32_t value);
void WriteLE64(uint8_t* bytes, uint64_t value);

// e_lfanew of a DOS header; false when fewer than 64 bytes are given.
bool ParsePeOffset(const uint8_t* dos, size_t size, int32_t& peOffset);

// The optional header's magic in the PE header bytes that start at e_lfanew
// (0x10B for PE32, 0x20B for PE32+); 0 when fewer than 248 are given.
uint16_t ParseOptionalMagic(const uint8_t* pe, size_t size);

// How many PE header bytes the image has, by the magic in those bytes: 264
// for PE32+, else 248 (a PE32 image's, and enough to tell any other kind).
size_t PeHeadersSize(const uint8_t* pe, size_t size);

// Where the certificate table's offset field lies in those bytes (its length
// follows 4 bytes later): 152 for PE32, 168 for PE32+, 0 for any other magic
// or when fewer bytes are given than PeHeadersSize names.
size_t SecurityDirectoryField(const uint8_t* pe, size_t size);

// The certificate table's offset and length from those bytes; false for an
// image that is neither PE32 nor PE32+, or when fewer bytes are given than
// PeHeadersSize names.
bool ParseSecurityDirectory(const uint8_t* pe, size_t size, uint32_t& offset, int32_t& length);

// How far before the end of the file the trailer starts: 284 plus the
// certificate table's length when that is positive (a length of 0x80000000 or
// more reads as negative and adds nothing).
uint64_t TrailerDistanceFromEnd(int32_t certificateLength);

// The header offset at 8 of a trailer record; false when fewer than 284 bytes are given.
bool ParseTrailerHeaderOffset(const uint8_t* trailer, size_t size, uint64_t& headerOffset);

// A full entry record; false when fewer than 284 bytes are given. name receives
// the name field up to its first NUL, never more than its 260 bytes.
bool ParseEntryRecord(const uint8_t* bytes, size_t size, EntryRecord& record, std::string& name);

// The name field of a record bounded to its 260 bytes.
std::string BoundedName(const EntryRecord& record);

// What keeps one name (of a file or folder) from naming exactly that file
// inside a Windows folder. The release tool and the unpacker share this rule.
enum class NameFault {
    None,
    Empty,
    DotName,              // "." or ".."
    ForbiddenCharacter,   // < > : " / \ | ? * or a control character
    TrailingDotOrBlank,   // Windows strips it, so another file is named
    DeviceName,           // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also ¹²³), CONIN$, CONOUT$, with any extension
};
// The first fault of name; character receives the forbidden character.
NameFault FindNameFault(const std::wstring& name, wchar_t* character = nullptr);

// True when a (converted) entry name stays inside the unpack folder: not empty,
// no path separator, no drive or stream colon, not "." or "..", no trailing dot
// or blank that Windows would strip, and not a device name (CON, NUL, COM1, ...).
bool IsSafeEntryName(const std::wstring& name);

// Writing side.

// Fills 284 bytes with an entry record: the count, 2, the data size twice and
// the name zero-filled to 260. False (out untouched) when the name is longer
// than 259 bytes or holds a NUL, which would cut it short for the reader.
bool EncodeEntryRecord(int32_t entryCount, uint64_t dataSize, const std::string& name, uint8_t* out);

// Serialises a trailer into 284 bytes, little-endian.
void EncodeTrailer(const TrailerRecord& trailer, uint8_t* out);

// All fields of a trailer; false when fewer than 284 bytes are given.
bool ParseTrailer(const uint8_t* bytes, size_t size, TrailerRecord& trailer);

// How many filler bytes (0 to 7) go behind entry data that ends at entriesEnd,
// so that the trailer that follows ends on a multiple of 8.
size_t FillerLength(uint64_t entriesEnd);

}  // namespace package
