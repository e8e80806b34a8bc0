// Writes packaged executables: stub image + entries + filler + trailer.
#pragma once

#include "tools/cabinet/CabinetCheck.h"

#include <string>
#include <vector>

namespace package {

struct PackOptions {
    // The unpacker's install step expands every `.cab` entry: by default each
    // must pass the cabinet check (tools/cabinet/CabinetCheck.h) and at least
    // one must be there. False packs arbitrary bytes, for tests and benchmarks
    // only: such a package fails on the customer's machine.
    bool checkCabinets = true;
    // The files of the folder a cabinet was made of: its check must list
    // exactly these (names and sizes), or the package is refused.
    const std::vector<CabinetFile>* folderFiles = nullptr;
};

// Options without the cabinet check, as `pack --unchecked-for-tests` packs.
inline PackOptions UncheckedForTests() {
    PackOptions options;
    options.checkCabinets = false;
    return options;
}

// Packs the files (entry names are their base names) behind the stub and writes
// outputPath. False with a one-line message in error; nothing is left at
// outputPath on failure (an existing file there is left as it was). Notes, when
// given, receive one line for each entry that is no cabinet.
bool PackFiles(const std::string& stubPath, const std::vector<std::string>& inputPaths, const std::string& outputPath,
               std::string& error, const PackOptions& options = PackOptions(),
               std::vector<std::string>* notes = nullptr);

// Whether outputPath may be written by `pack`: not a folder, not inside the
// folder being packed (packedFolder, empty when none), and not an existing
// file unless force is given. False with a one-line message in error.
bool CheckOutputPath(const std::string& outputPath, bool force, const std::string& packedFolder, std::string& error);

// The last component of a path: behind the last '/' (and on Windows also '\' or a drive's ':').
std::string BaseName(const std::string& path);

// True when name can be stored as an entry name that every unpacker, whatever
// its ANSI code page, writes inside its unpack folder; otherwise the reason.
bool CheckEntryName(const std::string& name, std::string& reason);

}  // namespace package
