// Writes packaged executables: stub image + entries + filler + trailer.
#pragma once

#include <string>
#include <vector>

namespace package {

// Packs the files (entry names are their base names) behind the stub and writes
// outputPath. False with a one-line message in error; nothing is left at
// outputPath on failure.
bool PackFiles(const std::string& stubPath, const std::vector<std::string>& inputPaths, const std::string& outputPath,
               std::string& error);

}  // namespace package
