// upkpack inspect (alias verify): prints the layout and checks the package.
#include "tools/cli/Commands.h"
#include "tools/package/PackageInspector.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

namespace upkpack {

namespace {

void PrintLayout(const std::string& path, const package::Inspection& r) {
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
    }
    if (r.hasFiller) std::printf("filler:            %" PRIu64 " (%" PRIu64 " bytes)\n", r.fillerOffset, r.fillerLength);
    std::printf("trailer:           %" PRIu64 " (ends at %" PRIu64 ")\n", r.trailerOffset, r.trailerOffset + 284);
    if (r.certificateLength == 0)
        std::printf("certificate table: none\n");
    else
        std::printf("certificate table: %" PRIu32 " (%" PRIu32 " bytes)\n", r.certificateOffset, r.certificateLength);
    if (!r.sha256.empty()) std::printf("sha-256:           %s\n", r.sha256.c_str());
}

int Inspect(const std::string& path) {
    package::Inspection result;
    bool sound = package::InspectPackage(path, result);
    PrintLayout(path, result);
    if (!sound) {
        std::fflush(stdout);
        std::fprintf(stderr, "upkpack: %s: %s\n", path.c_str(), result.problem.c_str());
        return kExitFailure;
    }
    std::printf("OK: the unpacker extracts exactly the packed entries (%zu)\n", result.entries.size());
    return kExitOk;
}

}  // namespace

Command AddInspect(CLI::App& upkpack) {
    auto path = std::make_shared<std::string>();
    CLI::App* app = upkpack.add_subcommand(
        "inspect",
        "Prints the package's layout and checks that UnPackFile.exe would extract exactly the packed\n"
        "entries, signed or unsigned.");
    app->alias("verify");
    app->add_option("FILE", *path, "the packaged file")->required();
    return {app, [path] { return Inspect(*path); }};
}

}  // namespace upkpack
