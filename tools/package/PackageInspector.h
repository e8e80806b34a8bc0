// Reads a packaged file the way the unpacker does and checks that the unpacker
// would extract exactly the entries that were packed. The one walk over the
// package serves both `inspect` and `extract`, so that the two never disagree
// on what a file holds.
#pragma once

#include "tools/cabinet/CabinetCheck.h"
#include "tools/package/PeImage.h"
#include "tools/package/VersionBlock.h"
#include "tools/signature/Signature.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace package {

struct InspectedEntry {
    std::string name;
    uint64_t recordOffset = 0;
    uint64_t dataOffset = 0;
    uint64_t size = 0;
    std::string sha256;   // of the entry's data, hex; empty until the data was read
    std::string refusal;  // why the unpacker would not (or should not) write it; empty when it would
    size_t replaces = 0;  // the number of an earlier entry of the same name, whose file the unpacker replaces
    bool isCabinet = false;  // expanded by the install step; cabinet is set by CheckEntryCabinets
    CabinetCheck cabinet;
};

// A file in an entry's cabinet that Windows or expand.exe cannot hold under
// its name (tools/package/NameRules.h): another writer's cabinet.
struct CabinetNameVerdict {
    size_t entry = 0;    // the entry's number, from 1
    std::string name;    // the file's path as the cabinet stores it
    std::string reason;  // one line
};

// The layout as far as it could be read; the flags tell which parts were reached.
struct Inspection {
    uint64_t fileLength = 0;
    bool hasHeaders = false;
    uint64_t imageEnd = 0;
    uint32_t certificateOffset = 0;
    uint32_t certificateLength = 0;  // as stored; the unpacker counts 0x80000000 or more as 0
    bool hasTrailer = false;
    uint64_t trailerOffset = 0;
    uint64_t headerOffset = 0;
    bool noTrailer = false;   // what lies where the trailer belongs is none: the fields above are what the
                              // unpacker would read there, not facts to show
    std::vector<InspectedEntry> entries;
    bool hasFiller = false;
    uint64_t fillerOffset = 0;
    uint64_t fillerLength = 0;
    std::string sha256;       // as stored in the trailer, hex; empty when the trailer carries none
    std::string foundSha256;  // of the package as read, hex; empty unless the walk reached the trailer
    std::string problem;      // empty when the package is sound
    std::vector<CabinetNameVerdict> cabinetNames;  // set by CheckEntryCabinets, in entry and file order
};

// Receives the entries during a walk, in file order. A sink that returns false
// ends the walk; its reason becomes the inspection's problem.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    // Before the entry's data; entries with a refusal are announced too.
    virtual bool BeginEntry(const InspectedEntry& entry, std::string& reason) = 0;
    // The entry's data, in order, in pieces of any size.
    virtual bool EntryData(const void* data, size_t size, std::string& reason) = 0;
    // After the last piece; entry.sha256 is set.
    virtual bool EndEntry(const InspectedEntry& entry, std::string& reason) = 0;
};

// True when the file is a sound package; otherwise false with a one-line
// reason in result.problem. A walk that ends early (a cut-off or malformed
// file, a sink's refusal) leaves result.foundSha256 empty; one that reached
// the trailer sets it, whatever else is wrong.
bool WalkPackage(const std::string& path, Inspection& result, EntrySink* sink);

// The name as the unpacker's file system compares it: ASCII upper case (entry
// names are plain ASCII), so that two entries of one name are found alike.
std::string Upper(std::string text);

// Checks every .cab entry as the install step's expand reads it, and the
// names of its files, filling each entry's cabinet and result.cabinetNames.
void CheckEntryCabinets(const std::string& path, Inspection& result);

inline bool InspectPackage(const std::string& path, Inspection& result) { return WalkPackage(path, result, nullptr); }

// Which build of UnPackFile a stub is, from its optional header's magic and
// its machine: releases ship the 32-bit build; the x86-64 build rehearses on
// hosts that cannot run 32-bit code and must never be taken for a release.
enum class StubBuild { Release32, Rehearsal64, Other };
StubBuild BuildOf(const PeFacts& facts);

// One conclusion of an inspection. A failing one makes inspect exit 1; the
// others are notes. Kinds: "package" (the walk), "cabinet", "names" (a file
// in a cabinet that Windows or expand.exe cannot hold under its name),
// "signature", "unsigned", "build"; more may be added, none renamed.
struct Verdict {
    std::string kind;
    bool failing = false;
    std::string message;
};

// Everything inspect finds out about a file, once, as data: the text and the
// JSON of `upkpack inspect` are two views of it.
struct InspectReport {
    std::string path;
    Inspection layout;
    bool packageSound = false;
    bool hasStub = false;  // the PE headers were read: the fields below are set
    PeFacts stub;
    StubVersion version;
    SignatureCheck signature;
    std::string authenticodeSha256;  // the file's, signed or not; empty when it could not be read
    std::vector<Verdict> verdicts;
    bool Passed() const;
};

struct InspectOptions {
    bool requireSigned = false;  // an unsigned file fails instead of being noted
};

InspectReport InspectFile(const std::string& path, const InspectOptions& options);

}  // namespace package
