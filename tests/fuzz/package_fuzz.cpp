// libFuzzer target: the reader's walk over a whole packaged file held in memory,
// with the plain parsing helpers the unpacker uses. Any input must end without
// reading outside the buffer, looping forever or dividing by zero.
#include "unpack/layout/PackageParse.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace package;
    int32_t peOffset = 0;
    if (!ParsePeOffset(data, size, peOffset)) return 0;
    // The file's length bounds the PE offset, compared as unsigned after sign extension.
    if (static_cast<uint64_t>(static_cast<int64_t>(peOffset)) > size) return 0;
    uint64_t pe = static_cast<uint64_t>(static_cast<int64_t>(peOffset));
    uint32_t certificateOffset = 0;
    int32_t certificateLength = 0;
    if (!ParseSecurityDirectory(data + pe, size - pe, certificateOffset, certificateLength)) return 0;

    uint64_t distance = TrailerDistanceFromEnd(certificateLength);
    if (distance > size) return 0;
    uint64_t headerOffset = 0;
    if (!ParseTrailerHeaderOffset(data + (size - distance), distance, headerOffset)) return 0;
    if (headerOffset == 0 || headerOffset >= size) return 0;

    uint64_t position = headerOffset;
    int32_t processed = 0;
    for (;;) {
        if (position >= size) break;
        EntryRecord record;
        std::string name;
        if (!ParseEntryRecord(data + position, size - position, record, name)) break;
        if (processed >= record.entryCount) break;
        ++processed;
        std::wstring wide(name.begin(), name.end());
        (void)IsSafeEntryName(wide);
        position += kRecordSize;
        if (record.dataSize > size - position) break;
        position += record.dataSize;
        if (processed == record.entryCount) break;
    }
    return 0;
}
