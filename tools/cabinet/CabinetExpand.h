// Expands the cabinets that extract wrote into its folder, as the install
// step's expand.exe expands the unpack folder's, through the same reading as
// the cabinet check (libmspack natively, FDI in upkpack.exe) and with
// extract's rules: nothing outside the folder, nothing in it replaced or
// followed, and the names the check refuses passed over with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace package {

struct ExpandedFile {
    std::string name;  // as stored in the cabinet ('\' between folders)
    uint64_t size = 0;
    bool written = false;
    std::string skipped;  // why it was not written; empty when written
};

struct Expansion {
    std::string cabinet;  // the cabinet's path
    std::vector<ExpandedFile> files;
    uint64_t bytesWritten = 0;
    std::string problem;  // why the cabinet could not be expanded whole; one line
};

// Expands each cabinet into folder, in turn; a folder one cabinet made is
// used by the next. True when every file of every cabinet was written.
bool ExpandCabinets(const std::vector<std::string>& cabinets, const std::string& folder,
                    std::vector<Expansion>& results);

}  // namespace package
