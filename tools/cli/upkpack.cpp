// upkpack: packs files behind UnPackFile.exe, checks and unpacks packaged
// files, and reads the unpacker's log.
//
//   upkpack pack --stub UnPackFile.exe --out Packaged.exe FILE...
//   upkpack inspect Packaged.exe      (alias: verify)
//   upkpack extract Packaged.exe --out DIR [--no-verify]
//   upkpack log unpack.log [--last | --text]
//
// Exit codes: 0 success, 1 failure, 2 usage error; for log, 2 also means a
// file that is not a readable log, told apart by its message.
#include "tools/log/LogReader.h"
#include "tools/package/PackageExtractor.h"
#include "tools/package/PackageInspector.h"
#include "tools/package/PackageWriter.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  upkpack pack --stub UnPackFile.exe --out Packaged.exe FILE...\n"
    "      Appends the files (named by their base names) behind the unsigned stub.\n"
    "      Sign the packaged file afterwards, e.g. with osslsigncode.\n"
    "  upkpack inspect FILE   (alias: verify)\n"
    "      Prints the package's layout and checks that UnPackFile.exe would extract\n"
    "      exactly the packed entries, signed or unsigned.\n"
    "  upkpack extract FILE --out DIR [--no-verify]\n"
    "      Checks the package's SHA-256 first, then writes each entry into DIR\n"
    "      (created when missing) under the name the unpacker uses. Never replaces\n"
    "      or follows anything in DIR; skips names the unpacker would not write.\n"
    "      --no-verify extracts a package whose SHA-256 does not match (forensics).\n"
    "  upkpack log UNPACK.LOG [--last | --text]\n"
    "      Tells each run in an unpack.log: when, the steps reached, mode, versions\n"
    "      and the outcome. --last: the latest run only; --text: the log as UTF-8.\n"
    "  upkpack --help\n"
    "exit codes: 0 success, 1 failure, 2 usage error (\"... see upkpack --help\")\n"
    "  log: 0 the last run upgraded, 1 it refused, failed or shows no outcome,\n"
    "       2 not a log it can read (\"... not a log it can read: why\")\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "upkpack: %s (see upkpack --help)\n", message.c_str());
    return kExitUsage;
}

int Pack(int argc, char** argv) {
    std::string stub, out;
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (arg == "--stub" || arg == "--out")) {
            if (i + 1 >= argc) return UsageError(arg + " needs a path");
            (arg == "--stub" ? stub : out) = argv[++i];
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
    if (!package::PackFiles(stub, files, out, error)) {
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

int Inspect(int argc, char** argv) {
    if (argc != 3) return UsageError(std::string(argv[1]) + " takes exactly one file");
    std::string path = argv[2];
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
    if (!result.unverified.empty()) std::printf("NOT VERIFIED (--no-verify): %s\n", result.unverified.c_str());
    size_t written = 0;
    for (size_t i = 0; i < result.entries.size(); ++i) {
        const package::ExtractedEntry& e = result.entries[i];
        std::printf("entry %zu: %s, %" PRIu64 " bytes, sha-256 %s", i + 1, e.name.c_str(), e.size,
                    e.sha256.empty() ? "(not read to its end)" : e.sha256.c_str());
        if (!e.skipped.empty())
            std::printf(" (skipped, as the unpacker would: %s)", e.skipped.c_str());
        else if (!e.written)
            std::printf(" (not written)");
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
    std::printf("OK: the package's SHA-256 %s matches its trailer\n", result.inspection.sha256.c_str());
    return kExitOk;
}

int Log(int argc, char** argv) {
    std::string path;
    unpacklog::LogMode mode = unpacklog::LogMode::Runs;
    bool modeGiven = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--last" || arg == "--text") {
            if (modeGiven) return UsageError("log takes one of --last and --text");
            mode = arg == "--last" ? unpacklog::LogMode::LastRun : unpacklog::LogMode::Text;
            modeGiven = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else if (path.empty()) {
            path = arg;
        } else {
            return UsageError("log takes exactly one file");
        }
    }
    if (path.empty()) return UsageError("log needs the unpack.log file");

    std::string error = "it cannot be opened";
    std::ifstream in(path, std::ios::binary);
    int code = unpacklog::kUnreadable;
    if (in) code = unpacklog::ReadLog(in, mode, std::cout, std::cerr, error);
    std::cout.flush();
    if (code == unpacklog::kUnreadable)
        std::fprintf(stderr, "upkpack: log: %s: not a log it can read: %s\n", path.c_str(), error.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return UsageError("no command given");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "pack") return Pack(argc, argv);
    if (command == "inspect" || command == "verify") return Inspect(argc, argv);
    if (command == "extract") return Extract(argc, argv);
    if (command == "log") return Log(argc, argv);
    return UsageError("unknown command '" + command + "'");
}
