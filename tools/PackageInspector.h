// Reads a packaged file the way the unpacker does and checks that the unpacker
// would extract exactly the entries that were packed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace package {

struct InspectedEntry {
    std::string name;
    uint64_t recordOffset = 0;
    uint64_t dataOffset = 0;
    uint64_t size = 0;
};

// The layout as far as it could be read; the flags tell which parts were reached.
struct Inspection {
    uint64_t fileLength = 0;
    bool hasHeaders = false;
    uint64_t imageEnd = 0;
    uint32_t certificateOffset = 0;
    uint32_t certificateLength = 0;  // as stored; the unpacker counts 0x80000000 or more as 0
    bool hasTrailer = false;
    uint64_t trailerOffset = 0;
    uint64_t headerOffset = 0;
    std::vector<InspectedEntry> entries;
    bool hasFiller = false;
    uint64_t fillerOffset = 0;
    uint64_t fillerLength = 0;
    std::string sha256;  // as stored in the trailer, hex
    std::string problem; // empty when the package is sound
};

// True when the file is a sound package; otherwise false with a one-line
// reason in result.problem.
bool InspectPackage(const std::string& path, Inspection& result);

}  // namespace package
