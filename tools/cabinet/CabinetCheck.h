// Checks that a cabinet can be expanded: what the unpacker's install step
// (`expand.exe *.cab /f:* .\`) needs of every `.cab` it unpacked. The check
// reads the cabinet the way an expander does and decompresses every folder,
// so that a damaged block or a cut-off file is found now, not on the
// customer's machine.
//
// Natively it uses libmspack; the Windows build uses the system's cabinet.dll
// (FDI). The same reading, with the files' data handed to a sink that writes,
// is what `extract --expand` expands with (CabinetExpand.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace package {

struct CabinetFile {
    std::string name;  // as stored in the cabinet (a path inside it, '\' separated)
    uint64_t size = 0;
    std::string refusal;  // why it is not written into a folder (no plain relative path); empty when it may be
};

struct CabinetCheck {
    bool ok = false;     // true only when every check was made and passed
    std::string reason;  // why not ok; one line
    std::vector<CabinetFile> files;  // as far as the cabinet's headers could be read
};

// Checks the size bytes at offset in the file at path as one whole cabinet:
// its header, its own recorded size against size, a set of one cabinet, and
// every file's data decompressed with the blocks' checksums verified. The
// decompressed data goes nowhere.
CabinetCheck CheckCabinet(const std::string& path, uint64_t offset, uint64_t size);

// Receives each file's data as the cabinet is decompressed, in header order.
// A false return stops the reading, with reason as the check's reason.
class CabinetSink {
public:
    virtual ~CabinetSink() = default;
    virtual bool BeginFile(const CabinetFile& file, std::string& reason) = 0;
    virtual bool FileData(const void* data, size_t size, std::string& reason) = 0;
    // complete is false when the cabinet's data failed inside this file.
    virtual bool EndFile(bool complete, std::string& reason) = 0;
};

// The check, with every file's data handed to sink (nullptr: nowhere).
CabinetCheck ReadCabinet(const std::string& path, uint64_t offset, uint64_t size, CabinetSink* sink);

// Why a file of the cabinet named name must not be written below a folder:
// each of its '\'-separated parts must be a name that an entry may have (no
// drive, no root, no '..', no device name, plain ASCII); empty when it may.
std::string CabinetNameRefusal(const std::string& name);

// True when the unpacker's install step expands the entry: its name ends in
// ".cab", in any case.
bool IsCabinetName(const std::string& name);

// Shared by the implementations: what is wrong with a cabinet whose header
// gives recordedSize for an entry of size bytes, or that is part of a set of
// cabinets; empty when neither.
std::string CabinetFrameProblem(uint64_t recordedSize, uint64_t size, bool partOfASet);

}  // namespace package
