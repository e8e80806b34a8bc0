// upkpack pack: appends files behind the unsigned stub.
#include "tools/cli/Commands.h"
#include "tools/package/PackageWriter.h"

#include <cstdio>
#include <string>
#include <vector>

namespace upkpack {

int Pack(int argc, char** argv) {
    std::string stub, out;
    std::vector<std::string> files;
    package::PackOptions options;
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (arg == "--stub" || arg == "--out")) {
            if (i + 1 >= argc) return UsageError(arg + " needs a path");
            (arg == "--stub" ? stub : out) = argv[++i];
        } else if (!optionsEnded && arg == "--unchecked-for-tests") {
            options.checkCabinets = false;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else {
            files.push_back(arg);
        }
    }
    if (stub.empty()) return UsageError("pack needs --stub");
    if (out.empty()) return UsageError("pack needs --out");
    if (files.empty()) return UsageError("pack needs at least one file");
    std::string error;
    std::vector<std::string> notes;
    if (!package::PackFiles(stub, files, out, error, options, &notes)) {
        std::fprintf(stderr, "upkpack: pack: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("packed %zu file(s) into %s\n", files.size(), out.c_str());
    for (const std::string& note : notes) std::fprintf(stderr, "upkpack: note: %s\n", note.c_str());
    if (!options.checkCabinets)
        std::fprintf(stderr, "upkpack: warning: the cabinets were not checked (--unchecked-for-tests): "
                             "not a package to release\n");
    // The unpacker passes over an entry whose full output path reaches 260
    // characters; below the usual unpack folder that leaves 200 for the name.
    const std::string usualFolder = "C:\\Program Files (x86)\\Kestrune\\Kestrune Remote\\AutoUpdate\\";
    for (const std::string& file : files) {
        const std::string name = package::BaseName(file);
        if (usualFolder.size() + name.size() >= 260)
            std::fprintf(stderr, "upkpack: warning: '%s' is too long to be unpacked below %s\n", name.c_str(),
                         usualFolder.c_str());
    }
    return kExitOk;
}

}  // namespace upkpack
