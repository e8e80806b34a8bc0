// The few facts of a PE32 or PE32+ file that packing and checking need: where the
// PE headers are, the certificate table (security directory), where the
// image's raw data ends, and what reading its resources and its Authenticode
// digest takes (the sections, the fields the digest leaves out).
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace package {

struct PeSection {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
};

struct PeFacts {
    uint64_t fileLength = 0;
    int32_t peOffset = 0;           // e_lfanew
    bool isPe = false;              // "PE\0\0" and the optional header magic 0x10B or 0x20B
    bool is64Bit = false;           // PE32+ (0x20B): an x86-64 build of the unpacker
    uint16_t machine = 0;           // the file header's Machine: 0x14C i386, 0x8664 x86-64
    uint32_t securityOffset = 0;    // certificate table's file offset
    uint32_t securityLength = 0;    // its length, as stored
    uint64_t imageEnd = 0;          // end of the last section's raw data (at least the headers' end)
    uint64_t checksumOffset = 0;    // file offset of the optional header's CheckSum
    uint64_t securityEntryOffset = 0;  // file offset of the security directory entry (8 bytes)
    uint32_t resourceRva = 0;       // resource directory (.rsrc), 0 when the image has none
    uint32_t resourceSize = 0;
    std::vector<PeSection> sections;
};

// The file offset of size bytes at rva, when a section's raw data holds them all.
bool RvaToOffset(const PeFacts& facts, uint32_t rva, uint32_t size, uint64_t& offset);

// Reads the headers from a file of fileLength bytes. False with a one-line
// reason when the file is not a PE image whose headers can be read.
bool ReadPeFacts(std::istream& file, uint64_t fileLength, PeFacts& facts, std::string& error);

// Reads exactly size bytes at offset; false on a seek failure or a short read.
bool ReadAt(std::istream& file, uint64_t offset, void* buffer, size_t size);

}  // namespace package
