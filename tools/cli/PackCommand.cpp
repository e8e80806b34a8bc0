// upkpack pack: appends files behind the unsigned stub, or the cabinet it makes
// of a folder.
#include "tools/cli/Commands.h"
#include "tools/package/CabinetFolder.h"
#include "tools/package/PackageWriter.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace upkpack {

namespace {

struct PackOptions {
    std::string stub, out;
    std::vector<std::string> files;
    // Lets the tests pack what a release must not carry; what it skips is the
    // package writer's to decide.
    bool uncheckedForTests = false;
};

int Pack(const PackOptions& options) {
    const std::string& out = options.out;
    std::vector<std::string> files = options.files;
    std::string error;
    // One folder: its cabinet, package1.cab, is what is packed.
    package::CabinetFolder cabinet;
    if (files.size() == 1 && package::IsFolder(files[0])) {
        if (!cabinet.Make(files[0], error)) {
            std::fprintf(stderr, "upkpack: pack: %s\n", error.c_str());
            return kExitFailure;
        }
        std::printf("made %s of %zu file(s) in %s\n", package::kFolderCabinetName, cabinet.FileCount(),
                    files[0].c_str());
        files = {cabinet.Path()};
    }
    if (!package::PackFiles(options.stub, files, out, error)) {
        std::fprintf(stderr, "upkpack: pack: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("packed %zu file(s) into %s\n", files.size(), out.c_str());
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

}  // namespace

Command AddPack(CLI::App& upkpack) {
    auto options = std::make_shared<PackOptions>();
    CLI::App* app = upkpack.add_subcommand(
        "pack",
        "Appends the files (named by their base names) behind the unsigned stub; given one folder, packs\n"
        "package1.cab made of it (MSZIP, files sorted, fixed times: the same folder gives the same bytes;\n"
        "not in the Windows build). Sign the packaged file afterwards, e.g. with osslsigncode.");
    app->add_option("--stub", options->stub, "the unsigned UnPackFile.exe")->required();
    app->add_option("--out", options->out, "the packaged file to write")->required();
    app->add_option("FILE", options->files, "files to pack, in this order (package1.cab, setup.ini), or one folder")
        ->required();
    app->add_flag("--unchecked-for-tests", options->uncheckedForTests,
                  "for the tests only: packs what a release must not carry");
    return {app, [options] { return Pack(*options); }};
}

}  // namespace upkpack
