#include "unpack/layout/PackageParse.h"

#include <cstring>
#include <cwctype>

namespace package {

uint32_t ReadLE32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

uint64_t ReadLE64(const uint8_t* b) { return static_cast<uint64_t>(ReadLE32(b)) | static_cast<uint64_t>(ReadLE32(b + 4)) << 32; }

void WriteLE32(uint8_t* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

void WriteLE64(uint8_t* b, uint64_t v) {
    WriteLE32(b, static_cast<uint32_t>(v));
    WriteLE32(b + 4, static_cast<uint32_t>(v >> 32));
}

bool ParsePeOffset(const uint8_t* dos, size_t size, int32_t& peOffset) {
    if (dos == nullptr || size < kDosHeaderSize) return false;
    peOffset = static_cast<int32_t>(ReadLE32(dos + kPeOffsetField));
    return true;
}

uint16_t ParseOptionalMagic(const uint8_t* pe, size_t size) {
    if (pe == nullptr || size < kPeHeadersSize) return 0;
    return static_cast<uint16_t>(pe[kOptionalMagicField] | pe[kOptionalMagicField + 1] << 8);
}

size_t PeHeadersSize(const uint8_t* pe, size_t size) {
    if (pe == nullptr || size < kOptionalMagicField + 2) return kPeHeadersSize;
    uint16_t magic = static_cast<uint16_t>(pe[kOptionalMagicField] | pe[kOptionalMagicField + 1] << 8);
    return magic == kPe32PlusMagic ? kPeHeadersSize64 : kPeHeadersSize;
}

size_t SecurityDirectoryField(const uint8_t* pe, size_t size) {
    if (size < PeHeadersSize(pe, size)) return 0;
    switch (ParseOptionalMagic(pe, size)) {
    case kPe32Magic: return kSecurityOffsetField;
    case kPe32PlusMagic: return kSecurityOffsetField64;
    default: return 0;
    }
}

bool ParseSecurityDirectory(const uint8_t* pe, size_t size, uint32_t& offset, int32_t& length) {
    size_t field = SecurityDirectoryField(pe, size);
    if (field == 0) return false;
    offset = ReadLE32(pe + field);
    length = static_cast<int32_t>(ReadLE32(pe + field + 4));
    return true;
}

uint64_t TrailerDistanceFromEnd(int32_t certificateLength) {
    return kRecordSize + (certificateLength > 0 ? static_cast<uint64_t>(certificateLength) : 0);
}

bool ParseTrailerHeaderOffset(const uint8_t* trailer, size_t size, uint64_t& headerOffset) {
    if (trailer == nullptr || size < kRecordSize) return false;
    headerOffset = ReadLE64(trailer + offsetof(TrailerRecord, headerOffset));
    return true;
}

bool ParseEntryRecord(const uint8_t* bytes, size_t size, EntryRecord& record, std::string& name) {
    if (bytes == nullptr || size < kRecordSize) return false;
    record.entryCount = static_cast<int32_t>(ReadLE32(bytes));
    record.marker = ReadLE32(bytes + 4);
    record.dataSize = ReadLE64(bytes + 8);
    record.dataSizeCopy = ReadLE64(bytes + 16);
    std::memcpy(record.name, bytes + 24, kNameSize);
    name = BoundedName(record);
    return true;
}

std::string BoundedName(const EntryRecord& record) {
    const void* nul = std::memchr(record.name, '\0', kNameSize);
    size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - record.name) : kNameSize;
    return std::string(record.name, length);
}

NameFault FindNameFault(const std::wstring& name, wchar_t* character) {
    if (name.empty()) return NameFault::Empty;
    if (name == L"." || name == L"..") return NameFault::DotName;
    for (wchar_t c : name) {
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' ||
            c == L'>' || c == L'|') {
            if (character != nullptr) *character = c;
            return NameFault::ForbiddenCharacter;
        }
    }
    // Windows strips trailing dots and blanks, so "..." or "a." would name another file.
    if (name.back() == L'.' || name.back() == L' ') return NameFault::TrailingDotOrBlank;

    // Device names address a device whatever the folder or extension: "NUL.txt" is NUL.
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (base == device) return NameFault::DeviceName;
    // Windows takes the superscript digits (as ANSI code pages hold them) for digits here too.
    const bool digit = base.size() == 4 && ((base[3] >= L'0' && base[3] <= L'9') || base[3] == 0xB9 ||
                                            base[3] == 0xB2 || base[3] == 0xB3);
    if (digit && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) return NameFault::DeviceName;
    return NameFault::None;
}

bool IsSafeEntryName(const std::wstring& name) { return FindNameFault(name) == NameFault::None; }

bool EncodeEntryRecord(int32_t entryCount, uint64_t dataSize, const std::string& name, uint8_t* out) {
    if (out == nullptr || name.size() > kMaxNameLength || name.find('\0') != std::string::npos) return false;
    std::memset(out, 0, kRecordSize);
    WriteLE32(out, static_cast<uint32_t>(entryCount));
    WriteLE32(out + 4, kRecordMarker);
    WriteLE64(out + 8, dataSize);
    WriteLE64(out + 16, dataSize);
    std::memcpy(out + 24, name.data(), name.size());
    return true;
}

void EncodeTrailer(const TrailerRecord& trailer, uint8_t* out) {
    std::memset(out, 0, kRecordSize);
    std::memcpy(out + offsetof(TrailerRecord, magic), trailer.magic, sizeof(trailer.magic));
    WriteLE64(out + offsetof(TrailerRecord, headerOffset), trailer.headerOffset);
    WriteLE32(out + offsetof(TrailerRecord, formatVersion), trailer.formatVersion);
    WriteLE32(out + offsetof(TrailerRecord, entryCount), trailer.entryCount);
    WriteLE64(out + offsetof(TrailerRecord, packageLength), trailer.packageLength);
    std::memcpy(out + offsetof(TrailerRecord, sha256), trailer.sha256, sizeof(trailer.sha256));
    std::memcpy(out + offsetof(TrailerRecord, reserved), trailer.reserved, sizeof(trailer.reserved));
}

bool ParseTrailer(const uint8_t* bytes, size_t size, TrailerRecord& trailer) {
    if (bytes == nullptr || size < kRecordSize) return false;
    std::memcpy(trailer.magic, bytes + offsetof(TrailerRecord, magic), sizeof(trailer.magic));
    trailer.headerOffset = ReadLE64(bytes + offsetof(TrailerRecord, headerOffset));
    trailer.formatVersion = ReadLE32(bytes + offsetof(TrailerRecord, formatVersion));
    trailer.entryCount = ReadLE32(bytes + offsetof(TrailerRecord, entryCount));
    trailer.packageLength = ReadLE64(bytes + offsetof(TrailerRecord, packageLength));
    std::memcpy(trailer.sha256, bytes + offsetof(TrailerRecord, sha256), sizeof(trailer.sha256));
    std::memcpy(trailer.reserved, bytes + offsetof(TrailerRecord, reserved), sizeof(trailer.reserved));
    return true;
}

size_t FillerLength(uint64_t entriesEnd) {
    return static_cast<size_t>((kAlignment - (entriesEnd + kRecordSize) % kAlignment) % kAlignment);
}

}  // namespace package
