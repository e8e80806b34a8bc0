// The scanning of dotted version text, as plain C++ without the platform, so
// that it can be fuzzed natively beside the package parser.
#pragma once

#include <cstdint>

// Reads up to four numbers with the rules of "%d.%d.%d.%d": white space skipped
// before each number, an optional sign, digits accumulated in 32 bits with
// wrap-around (a negative number stored as its two's complement), every dot
// directly after the previous number, stopping at the first misfit. Fields the
// text does not supply keep their value. Returns how many numbers were stored.
int ScanVersionText(const wchar_t* text, uint32_t fields[4]);
