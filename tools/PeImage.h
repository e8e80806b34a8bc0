// The few facts of a 32-bit PE file that packing and checking need: where the
// PE headers are, the certificate table (security directory) and where the
// image's raw data ends.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace package {

struct PeFacts {
    uint64_t fileLength = 0;
    int32_t peOffset = 0;           // e_lfanew
    bool isPe32 = false;            // "PE\0\0" and the 32-bit optional header magic 0x10B
    uint32_t securityOffset = 0;    // certificate table's file offset
    uint32_t securityLength = 0;    // its length, as stored
    uint64_t imageEnd = 0;          // end of the last section's raw data (at least the headers' end)
};

// Reads the headers from a file of fileLength bytes. False with a one-line
// reason when the file is not a PE image whose headers can be read.
bool ReadPeFacts(std::istream& file, uint64_t fileLength, PeFacts& facts, std::string& error);

// Reads exactly size bytes at offset; false on a seek failure or a short read.
bool ReadAt(std::istream& file, uint64_t offset, void* buffer, size_t size);

}  // namespace package
