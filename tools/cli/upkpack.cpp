// upkpack: packs files behind UnPackFile.exe, checks and unpacks packaged
// files, and reads the unpacker's log.
//
//   upkpack pack --stub UnPackFile.exe --out Packaged.exe FILE... [--unchecked-for-tests]
//   upkpack inspect Packaged.exe      (alias: verify)
//   upkpack extract Packaged.exe --out DIR [--no-verify]
//   upkpack log unpack.log [--last | --text]
//
// Exit codes: 0 success, 1 failure, 2 usage error; for log, 2 also means a
// file that is not a readable log, told apart by its message.
#include "tools/cli/Commands.h"

#include <cstdio>
#include <string>

namespace {

const char kUsage[] =
    "usage:\n"
    "  upkpack pack --stub UnPackFile.exe --out Packaged.exe FILE... [--unchecked-for-tests]\n"
    "      Appends the files (named by their base names) behind the unsigned stub.\n"
    "      Every FILE ending in .cab must be a whole cabinet that expand.exe can\n"
    "      read (each file decompressed, checksums verified), and one at least\n"
    "      must be there; other files are packed with a note that expand passes\n"
    "      over them. Sign the packaged file afterwards, e.g. with osslsigncode.\n"
    "      --unchecked-for-tests packs arbitrary bytes without the cabinet check,\n"
    "      for tests and benchmarks only: never a release step.\n"
    "  upkpack inspect FILE   (alias: verify)\n"
    "      Prints the package's layout and checks that UnPackFile.exe would extract\n"
    "      exactly the packed entries, signed or unsigned, and that expand.exe can\n"
    "      read every .cab entry; lists each cabinet's files.\n"
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

}  // namespace

namespace upkpack {

int UsageError(const std::string& message) {
    std::fprintf(stderr, "upkpack: %s (see upkpack --help)\n", message.c_str());
    return kExitUsage;
}

}  // namespace upkpack

int main(int argc, char** argv) {
    using namespace upkpack;
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
