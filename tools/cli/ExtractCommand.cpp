// upkpack extract: checks the package, then writes its entries into a folder.
#include "tools/cli/Commands.h"
#include "tools/package/PackageExtractor.h"

#include <cinttypes>
#include <cstdio>
#include <string>

namespace upkpack {

int Extract(int argc, char** argv) {
    std::string path, out;
    bool verify = true;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--out") {
            if (i + 1 >= argc) return UsageError("--out needs a folder");
            out = argv[++i];
        } else if (arg == "--no-verify") {
            verify = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else if (path.empty()) {
            path = arg;
        } else {
            return UsageError("extract takes exactly one file");
        }
    }
    if (path.empty()) return UsageError("extract needs the packaged file");
    if (out.empty()) return UsageError("extract needs --out DIR");

    package::Extraction result;
    const bool complete = package::ExtractPackage(path, out, verify, result);
    if (!result.unverified.empty())
        std::printf("NOT VERIFIED (--no-verify): %s%s\n", result.unverified.c_str(),
                    result.unpackersWalk ? "; written as the unpacker's own walk writes it" : "");
    if (result.noDigest)
        std::printf("note: the trailer carries no SHA-256 (a package from another writer): there is no digest to "
                    "check\n");
    size_t written = 0;
    for (size_t i = 0; i < result.entries.size(); ++i) {
        const package::ExtractedEntry& e = result.entries[i];
        std::printf("entry %zu: %s, %" PRIu64 " bytes, sha-256 %s", i + 1, e.name.c_str(), e.size,
                    e.sha256.empty() ? "(not read to its end)" : e.sha256.c_str());
        if (!e.skipped.empty())
            std::printf(" (skipped, as the unpacker would: %s)", e.skipped.c_str());
        else if (e.replacedBy != 0)
            std::printf(" (replaced by entry %zu of the same name, as the unpacker replaces it)", e.replacedBy);
        else if (!e.written)
            std::printf(" (not written)");
        if (e.replaces != 0 && e.written) std::printf(" (replaces entry %zu's file, as the unpacker does)", e.replaces);
        if (e.cutShort) std::printf(" (the file ends inside its data: written as far as it goes, as the unpacker does)");
        std::printf("\n");
        written += e.written ? 1 : 0;
    }
    if (!result.entries.empty())
        std::printf("wrote %zu of %zu entries (%" PRIu64 " bytes) into %s\n", written, result.entries.size(),
                    result.bytesWritten, out.c_str());
    if (!complete) {
        std::fflush(stdout);  // the entries first, then what went wrong
        std::fprintf(stderr, "upkpack: extract: %s: %s\n", path.c_str(), result.problem.c_str());
        if (!result.leftBehind.empty()) std::fprintf(stderr, "upkpack: extract: %s\n", result.leftBehind.c_str());
        return kExitFailure;
    }
    if (result.noDigest)
        std::printf("OK: every entry written as the unpacker would; no digest to check\n");
    else
        std::printf("OK: the package's SHA-256 %s matches its trailer\n", result.inspection.sha256.c_str());
    return kExitOk;
}

}  // namespace upkpack
