// libFuzzer target: version text scanning on any sequence of UTF-16 code units.
#include "utility/VersionText.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    uint32_t fields[4] = {0, 0, 0, 0};
    int stored = ScanVersionText(text.c_str(), fields);
    if (stored < 0 || stored > 4) __builtin_trap();
    return 0;
}
