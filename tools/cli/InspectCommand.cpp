// upkpack inspect (alias verify): prints the layout and checks the package.
#include "tools/cli/Commands.h"
#include "tools/package/CabinetCheck.h"
#include "tools/package/PackageInspector.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace upkpack {

namespace {

// The install step's expand reads each .cab entry; the same check as pack's.
struct EntryCabinet {
    bool isCabinet = false;
    package::CabinetCheck check;
};

void PrintCabinet(const EntryCabinet& c) {
    if (!c.isCabinet) return;
    if (!c.check.ok)
        std::printf("                   cabinet: expand.exe would fail on it: %s\n", c.check.reason.c_str());
    else
        std::printf("                   cabinet: %zu file(s), every one expands\n", c.check.files.size());
    for (const package::CabinetFile& f : c.check.files)
        std::printf("                     %s (%" PRIu64 " bytes)\n", f.name.c_str(), f.size);
}

void PrintLayout(const std::string& path, const package::Inspection& r, const std::vector<EntryCabinet>& cabinets) {
    std::printf("file:              %s (%" PRIu64 " bytes)\n", path.c_str(), r.fileLength);
    if (!r.hasHeaders) return;
    std::printf("image end:         %" PRIu64 "\n", r.imageEnd);
    if (!r.hasTrailer) return;
    std::printf("header offset:     %" PRIu64 "\n", r.headerOffset);
    for (size_t i = 0; i < r.entries.size(); ++i) {
        const package::InspectedEntry& e = r.entries[i];
        std::printf("entry %zu:           record %" PRIu64 ", data %" PRIu64 ", size %" PRIu64 ", name %s\n", i + 1,
                    e.recordOffset, e.dataOffset, e.size, e.name.c_str());
        std::printf("                   sha-256 %s\n", e.sha256.c_str());
        if (!e.refusal.empty()) std::printf("                   not written by the unpacker: %s\n", e.refusal.c_str());
        PrintCabinet(cabinets[i]);
    }
    if (r.hasFiller) std::printf("filler:            %" PRIu64 " (%" PRIu64 " bytes)\n", r.fillerOffset, r.fillerLength);
    std::printf("trailer:           %" PRIu64 " (ends at %" PRIu64 ")\n", r.trailerOffset, r.trailerOffset + 284);
    if (r.certificateLength == 0)
        std::printf("certificate table: none\n");
    else
        std::printf("certificate table: %" PRIu32 " (%" PRIu32 " bytes)\n", r.certificateOffset, r.certificateLength);
    if (!r.sha256.empty()) std::printf("sha-256:           %s\n", r.sha256.c_str());
}

}  // namespace

int Inspect(int argc, char** argv) {
    if (argc != 3) return UsageError(std::string(argv[1]) + " takes exactly one file");
    std::string path = argv[2];
    package::Inspection result;
    bool sound = package::InspectPackage(path, result);
    std::vector<EntryCabinet> cabinets(result.entries.size());
    std::string cabinetProblem;
    bool anyCabinet = false;
    for (size_t i = 0; i < result.entries.size(); ++i) {
        const package::InspectedEntry& e = result.entries[i];
        if (!package::IsCabinetName(e.name)) continue;
        cabinets[i] = {true, package::CheckCabinet(path, e.dataOffset, e.size)};
        anyCabinet = true;
        if (!cabinets[i].check.ok && cabinetProblem.empty())
            cabinetProblem = "entry " + std::to_string(i + 1) + " '" + e.name +
                             "': expand.exe would fail on this cabinet: " + cabinets[i].check.reason;
    }
    if (!anyCabinet) cabinetProblem = "no .cab entry: nothing would be installed";
    PrintLayout(path, result, cabinets);
    if (!sound || !cabinetProblem.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "upkpack: %s: %s\n", path.c_str(), (sound ? cabinetProblem : result.problem).c_str());
        return kExitFailure;
    }
    std::printf("OK: the unpacker extracts exactly the packed entries (%zu)\n", result.entries.size());
    return kExitOk;
}

}  // namespace upkpack
