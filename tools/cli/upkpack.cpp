// upkpack: packs files behind UnPackFile.exe, checks and unpacks packaged
// files, and reads the unpacker's log.
//
//   upkpack pack --stub UnPackFile.exe --out Packaged.exe FILE... | FOLDER [--unchecked-for-tests]
//   upkpack inspect Packaged.exe [--json] [--require-signed]   (alias: verify)
//   upkpack extract Packaged.exe --out DIR [--no-verify] [--expand]
//   upkpack log unpack.log... [--last] [--json] [--since DAY] [--until DAY] [--outcome WHICH] | --text
//
// Exit codes: 0 success, 1 failure, 2 usage error; for log, 2 also means a
// file that is not a readable log, told apart by its message.
#include "tools/cli/Commands.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

const char kSummary[] =
    "upkpack: packs files behind UnPackFile.exe, checks and unpacks packaged files,\n"
    "and reads the unpacker's log.\n"
    "  upkpack pack --stub UnPackFile.exe --out Packaged.exe FILE... | FOLDER\n"
    "  upkpack inspect FILE [--json] [--require-signed]   (alias: verify)\n"
    "  upkpack extract FILE --out DIR [--no-verify] [--expand]\n"
    "  upkpack log UNPACK.LOG... [--last] [--json] [--since|--until YYYY-MM-DD] [--outcome O]\n"
    "  upkpack log UNPACK.LOG... --text\n"
    "  upkpack COMMAND --help   tells one command's options\n"
    "  upkpack --version        the tool's version (the product version it was built with)";

const char kExitCodes[] =
    "exit codes: 0 success, 1 failure, 2 usage error (\"... see upkpack --help\")\n"
    "  log: 0 every file's deciding run upgraded, 1 one refused, failed or shows no outcome,\n"
    "       2 a file is not a log it can read (\"... not a log it can read: why\")";

}  // namespace

namespace upkpack {

int UsageError(const std::string& message) {
    std::fprintf(stderr, "upkpack: %s (see upkpack --help)\n", message.c_str());
    return kExitUsage;
}

}  // namespace upkpack

int main(int argc, char** argv) {
    using namespace upkpack;
    CLI::App app(kSummary, "upkpack");
    app.footer(kExitCodes);
    app.require_subcommand(1);
    // The same options in both builds: "/x" is a path (a Unix one under Wine), never an option.
    app.allow_windows_style_options(false);
    const std::vector<Command> commands = {AddPack(app), AddInspect(app), AddExtract(app), AddLog(app)};

    if (argc < 2) return UsageError("no command given");
    const std::string first = argv[1];
    if (first == "--version" && argc == 2) {
        std::printf("upkpack %s\n", UPKPACK_VERSION);
        return kExitOk;
    }
    if (first == "help") {
        std::fputs(app.help().c_str(), stdout);
        return kExitOk;
    }
    if (first.empty() || first[0] != '-') {
        bool known = false;
        for (const Command& command : commands) known = known || command.app->check_name(first);
        if (!known) return UsageError("unknown command '" + first + "'");
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // Whichever command --help followed: its own help, and nothing else.
        std::string help = app.help();
        for (const Command& command : commands)
            if (command.app->parsed()) help = command.app->help(app.get_name());
        std::fputs(help.c_str(), stdout);
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);  // --help-all and the like
        return UsageError(error.what());
    }
    // The platform's hash or the library's allocation may fail below a
    // command; the run then ends as a failure that says why, never with a
    // result it did not reach.
    try {
        for (const Command& command : commands)
            if (command.app->parsed()) return command.run();
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "upkpack: %s\n", error.what());
        return kExitFailure;
    }
    return UsageError("no command given");
}
