// Writes packaged executables: stub image + entries + filler + trailer.
#pragma once

#include <string>
#include <vector>

namespace package {

// Packs the files (entry names are their base names) behind the stub and writes
// outputPath. False with a one-line message in error; nothing is left at
// outputPath on failure (an existing file there is left as it was).
bool PackFiles(const std::string& stubPath, const std::vector<std::string>& inputPaths, const std::string& outputPath,
               std::string& error);

// The last component of a path: behind the last '/' (and on Windows also '\' or a drive's ':').
std::string BaseName(const std::string& path);

// True when name can be stored as an entry name that every unpacker, whatever
// its ANSI code page, writes inside its unpack folder; otherwise the reason.
bool CheckEntryName(const std::string& name, std::string& reason);

}  // namespace package
