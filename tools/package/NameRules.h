// The names of a release's files as Windows and expand.exe hold them: one rule
// for what `pack` refuses (a folder's files, a cabinet given to pack) and what
// `inspect` reports in a cabinet made by another writer. Each name is checked
// as the path it gets below the usual unpack folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace package {

// Where the unpacker writes the package's entries and expand.exe the cabinet's
// files, on a 64-bit Windows installed on C:.
constexpr char kUsualUnpackFolder[] = "C:\\Program Files (x86)\\Kestrune\\Kestrune Remote\\AutoUpdate\\";
// MAX_PATH is 260 UTF-16 characters with the terminating NUL: a file's full
// path holds at most 259.
constexpr size_t kMaxPathCharacters = 259;
// CreateDirectory keeps room for an 8.3 name (12 characters) within MAX_PATH:
// a folder's full path, without a closing '\', holds at most 247.
constexpr size_t kMaxFolderPathCharacters = 247;
// A cabinet folder is at most 65535 data blocks of 32 KiB uncompressed (the
// block count is 16 bits), so neither one file nor all the files of a folder
// may pass 2147450880 bytes; libgcab wraps larger sizes without a word.
constexpr uint64_t kMaxCabinetFolderBytes = 65535ull * 32768;

// Why a cabinet's path (UTF-8, separator between folders: '\' as a cabinet
// stores it, '/' for a file below a folder to pack, where a '\' is a character
// of the name) does not expand below the usual unpack folder under exactly that
// name; empty when it does.
std::string CabinetPathProblem(const std::string& path, char separator = '\\');

struct NameVerdict {
    std::string name;    // as shown to the reader (a file's path, or the cabinet's name)
    std::string reason;  // why Windows or expand.exe cannot hold it; one line
};

// Every path of names that CabinetPathProblem refuses, and every path that
// differs from an earlier one only in case, in order. shownAs, when given,
// holds the name to show for each path (e.g. the file it was made of).
std::vector<NameVerdict> CheckCabinetNames(const std::vector<std::string>& names, char separator = '\\',
                                           const std::vector<std::string>* shownAs = nullptr);

// The size of a file to put into a cabinet, or of all of a folder's: empty
// when a cabinet holds it, else why not.
std::string CabinetSizeProblem(uint64_t bytes);

}  // namespace package
