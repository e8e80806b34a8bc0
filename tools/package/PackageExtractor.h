// Writes the entries of a packaged file into a folder, under the names the
// unpacker would use, after proving the package intact.
#pragma once

#include "tools/package/PackageInspector.h"

#include <cstdint>
#include <string>
#include <vector>

namespace package {

struct ExtractedEntry {
    std::string name;
    uint64_t size = 0;
    std::string sha256;  // of the bytes written (or read, for a skipped entry), hex
    bool written = false;
    std::string skipped;  // why it was not written; empty when written
};

struct Extraction {
    Inspection inspection;   // the walk that checked the package first
    bool verified = false;   // the trailer's digest matched before anything was written
    std::string unverified;  // with verify off: why the package could not be verified
    std::vector<ExtractedEntry> entries;
    uint64_t bytesWritten = 0;
    std::string leftBehind;  // a failure's note on what stays in the folder
    std::string problem;     // one line; empty when every entry was written
};

// Reads the package at path twice: once to check its layout and, unless
// verify is false, its digest; then to write each entry into folder (created
// when missing). Never writes outside folder, never follows or replaces
// anything that exists there, skips the entries the unpacker would not
// write. True when the package was verified and every entry written.
bool ExtractPackage(const std::string& path, const std::string& folder, bool verify, Extraction& result);

}  // namespace package
