// upkpack pack: appends files behind the unsigned stub, or the cabinet it makes
// of a folder.
#include "tools/cli/Commands.h"
#include "tools/cabinet/CabinetFolder.h"
#include "tools/package/PackageWriter.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace upkpack {

namespace {

struct PackArguments {
    std::string stub, out;
    std::vector<std::string> files;
    bool force = false;
    // Lets the tests and benchmarks pack arbitrary bytes: no cabinet is checked.
    bool uncheckedForTests = false;
};

int Pack(const PackArguments& arguments) {
    const std::string& out = arguments.out;
    std::vector<std::string> files = arguments.files;
    std::string error;
    // One folder: its cabinet, package1.cab, is what is packed.
    package::CabinetFolder cabinet;
    const bool folder = files.size() == 1 && package::IsFolder(files[0]);
    if (!package::CheckOutputPath(out, arguments.force, folder ? files[0] : std::string(), error) ||
        (folder && !cabinet.Make(files[0], error))) {
        std::fprintf(stderr, "upkpack: pack: %s\n", error.c_str());
        return kExitFailure;
    }
    if (folder) {
        std::printf("made %s of %zu file(s) in %s\n", package::kFolderCabinetName, cabinet.Files().size(),
                    files[0].c_str());
        files = {cabinet.Path()};
    }
    package::PackOptions packing;
    if (arguments.uncheckedForTests) packing.checkCabinets = false;
    if (folder) packing.folderFiles = &cabinet.Files();
    std::vector<std::string> notes;
    if (!package::PackFiles(arguments.stub, files, out, error, packing, &notes)) {
        std::fprintf(stderr, "upkpack: pack: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("packed %zu file(s) into %s\n", files.size(), out.c_str());
    for (const std::string& note : notes) std::fprintf(stderr, "upkpack: note: %s\n", note.c_str());
    if (!packing.checkCabinets)
        std::fprintf(stderr, "upkpack: warning: the cabinets were not checked (--unchecked-for-tests): "
                             "not a package to release\n");
    return kExitOk;
}

}  // namespace

Command AddPack(CLI::App& upkpack) {
    auto options = std::make_shared<PackArguments>();
    CLI::App* app = upkpack.add_subcommand(
        "pack",
        "Appends the files (named by their base names) behind the unsigned stub; given one folder, packs\n"
        "package1.cab made of it (MSZIP, files sorted, fixed times: the same folder gives the same bytes;\n"
        "not in the Windows build). Every FILE ending in .cab must be a whole cabinet that expand.exe can\n"
        "read (each file decompressed, checksums verified), and one at least must be there; other files\n"
        "are packed with a note that expand passes over them. Sign the packaged file afterwards, e.g. with\n"
        "osslsigncode.\n"
        "Every name, of a file given and of each file in a cabinet or folder, must be one that Windows and\n"
        "expand.exe hold as it is, or nothing is written: valid UTF-8 without < > : \" / \\ | ? * or control\n"
        "characters, not ending in a dot or blank, not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9,\n"
        "with or without an extension), no two paths differing only in case, and each path at most 259\n"
        "characters (its folders at most 247) below C:\\Program Files (x86)\\Kestrune\\Kestrune Remote\\AutoUpdate\\.\n"
        "A file, or a folder's files together, may hold at most 2147450880 bytes (a cabinet's limit).\n"
        "--out must not lie inside the folder packed, nor name a folder, nor an existing file without --force.");
    app->add_option("--stub", options->stub, "the unsigned UnPackFile.exe")->required();
    app->add_option("--out", options->out, "the packaged file to write")->required();
    app->add_flag("--force", options->force, "replaces the file --out names if it exists");
    app->add_option("FILE", options->files, "files to pack, in this order (package1.cab, setup.ini), or one folder")
        ->required();
    app->add_flag("--unchecked-for-tests", options->uncheckedForTests,
                  "packs arbitrary bytes without the cabinet check, for tests and benchmarks only: never a release step");
    return {app, [options] { return Pack(*options); }};
}

}  // namespace upkpack
