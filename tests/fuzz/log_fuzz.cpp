// libFuzzer target: the log reader over any bytes a customer might send, in
// each of its modes, as text and as JSON. Any input must end without reading outside its buffer,
// looping forever or growing memory with the input.
#include "tools/log/LogReader.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace unpacklog;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (int view = 0; view < 5; ++view) {
        LogOptions options;
        options.mode = view % 3 == 0 ? LogMode::Runs : view % 3 == 1 ? LogMode::LastRun : LogMode::Text;
        options.json = view >= 3;
        options.filter.refused = view != 4;
        std::istringstream in(bytes);
        std::ostringstream out, notes;
        std::string error;
        LogTally tally;
        const int code = ReadLog(in, options, out, notes, error, &tally);
        // Nothing is written for a file it cannot read, and always a reason.
        if (code == kUnreadable && (!out.str().empty() || error.empty())) __builtin_trap();
    }
    return 0;
}
