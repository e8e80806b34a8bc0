// libFuzzer target: the log reader over any bytes a customer might send, in
// each of its modes. Any input must end without reading outside its buffer,
// looping forever or growing memory with the input.
#include "tools/log/LogReader.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace unpacklog;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (LogMode mode : {LogMode::Runs, LogMode::LastRun, LogMode::Text}) {
        std::istringstream in(bytes);
        std::ostringstream out, notes;
        std::string error;
        const int code = ReadLog(in, mode, out, notes, error);
        // Nothing is written for a file it cannot read, and always a reason.
        if (code == kUnreadable && (!out.str().empty() || error.empty())) __builtin_trap();
    }
    return 0;
}
