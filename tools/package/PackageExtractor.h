// Writes the entries of a packaged file into a folder, under the names the
// unpacker would use, after proving the package intact.
#pragma once

#include "tools/cabinet/CabinetExpand.h"
#include "tools/package/PackageInspector.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace package {

struct ExtractedEntry {
    std::string name;
    uint64_t size = 0;
    std::string sha256;  // of the bytes written (or read, for a skipped entry), hex
    bool written = false;
    std::string skipped;  // why it was not written; empty when written
    size_t replaces = 0;     // the number of an earlier entry of the same name whose file this one replaced
    size_t replacedBy = 0;   // the number of the later entry that replaced this one's file
    bool cutShort = false;   // the file ended before the entry's data did: it is shorter, as the unpacker leaves it
};

struct Extraction {
    Inspection inspection;   // the walk that checked the package first
    bool verified = false;   // the trailer's digest matched before anything was written
    bool noDigest = false;   // the trailer carries no digest (another writer's): nothing to check against
    std::string unverified;  // with verify off: why the package could not be verified
    bool unpackersWalk = false;  // written by the unpacker's own walk past damage that stopped the checked one
    std::vector<ExtractedEntry> entries;
    std::vector<Expansion> expansions;  // with expand: one for each .cab entry written
    uint64_t bytesWritten = 0;
    std::string leftBehind;  // a failure's note on what stays in the folder
    std::string problem;     // one line; empty when every entry was written
};

// Reads the package at path twice: once to check its layout and, unless
// verify is false, its digest; then to write each entry into folder (created
// when missing). Never writes outside folder, never follows or replaces
// anything that existed there, skips the entries the unpacker would not
// write, and lets a later entry of a name replace the earlier one's file, as
// the unpacker does. With verify false, a package whose damage stops the
// checked walk is written as the unpacker's walk would write it. With expand,
// every .cab entry written is then expanded into folder as well, with the
// same rules (CabinetExpand.h). True when every entry (and every cabinet's
// file) was written and the package verified, or it has no digest.
bool ExtractPackage(const std::string& path, const std::string& folder, bool verify, Extraction& result,
                    bool expand = false);

// Creates path for writing and fails (errno EEXIST) when anything at all
// already has that name, so that nothing is replaced and no link followed.
FILE* CreateNewFile(const std::filesystem::path& path);

}  // namespace package
