// upkpack extract: checks the package, then writes its entries into a folder.
#include "tools/cli/Commands.h"
#include "tools/package/PackageExtractor.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

namespace upkpack {

namespace {

struct ExtractOptions {
    std::string path, out;
    bool noVerify = false;
    bool expand = false;
};

int Extract(const ExtractOptions& options) {
    const std::string& path = options.path;
    const std::string& out = options.out;
    const bool verify = !options.noVerify;
    package::Extraction result;
    const bool complete = package::ExtractPackage(path, out, verify, result, options.expand);
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
    for (const package::Expansion& expansion : result.expansions) {
        size_t files = 0;
        for (const package::ExpandedFile& f : expansion.files) files += f.written ? 1 : 0;
        std::printf("expanded %s: %zu of %zu files (%" PRIu64 " bytes)%s\n", expansion.cabinet.c_str(), files,
                    expansion.files.size(), expansion.bytesWritten,
                    expansion.problem.empty() ? "" : ", then it failed");
        for (const package::ExpandedFile& f : expansion.files)
            std::printf("  %s, %" PRIu64 " bytes%s%s%s\n", f.name.c_str(), f.size, f.skipped.empty() ? "" : " (passed over: ",
                        f.skipped.c_str(), f.skipped.empty() ? "" : ")");
    }
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

}  // namespace

Command AddExtract(CLI::App& upkpack) {
    auto options = std::make_shared<ExtractOptions>();
    CLI::App* app = upkpack.add_subcommand(
        "extract",
        "Checks the package's SHA-256 first, then writes each entry into DIR (created when missing) under\n"
        "the name the unpacker uses. Never replaces or follows anything in DIR; skips names the unpacker\n"
        "would not write; of two entries with one name the later is kept, as the unpacker does. A package\n"
        "without a digest (another writer's) is extracted with a note that there is nothing to check.\n"
        "With --expand, every .cab written is then expanded into DIR as well, as the install step's expand\n"
        "would, by the same rules: names that are no plain path inside DIR are passed over with the reason.");
    app->add_option("FILE", options->path, "the packaged file")->required();
    app->add_option("--out", options->out, "the folder to write into")->required();
    app->add_flag("--no-verify", options->noVerify,
                  "extracts a package whose SHA-256 does not match (forensics), writing what the unpacker would write");
    app->add_flag("--expand", options->expand,
                  "also expands every cabinet written into DIR (subfolders kept), checking it as inspect does");
    return {app, [options] { return Extract(*options); }};
}

}  // namespace upkpack
