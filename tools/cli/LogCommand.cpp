// upkpack log: tells the runs in one or more unpack.logs, as text or JSON Lines.
#include "tools/cli/Commands.h"
#include "tools/log/LogReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace upkpack {

namespace {

struct LogOptions {
    std::vector<std::string> paths;
    bool last = false, text = false, json = false;
    std::string since, until;
    std::vector<std::string> outcomes;
};

const char kLogFooter[] =
    "Several files: each file's report (headed \"==> FILE <==\"), then a summary: runs by outcome,\n"
    "refused runs by the refusal table's rows, each file whose deciding run did not upgrade, and\n"
    "the files that hold no log. The run that decides a file is its latest by time (by place in\n"
    "the file for equal times), not a second copy refused while it was going.\n"
    "--json: one object per run, one a line (JSON Lines, described in the README: file, run, pid,\n"
    "start, end, lines, steps, mode, mode_logged, installed, bound, package, package_logged, os,\n"
    "outcome, refusal, refusal_line, library_failure, installer_exit_codes, cause, repeats, notes);\n"
    "notes about the files on standard error, no summary. With --last, the deciding run only.\n"
    "--since and --until take dates (YYYY-MM-DD, inclusive) and choose the runs that started on\n"
    "those days (a run without a time is not chosen); --outcome chooses by outcome (repeat it or\n"
    "separate with commas). Only chosen runs are shown, summed up and decided among.\n"
    "Exit code: 0 when every file's deciding run upgraded, 1 otherwise (also when a file has no\n"
    "chosen run), 2 when a file is not a log it can read (\"not a log it can read: why\").\n";

// The runs the options choose; an error when an option cannot be read.
std::string MakeFilter(const LogOptions& options, unpacklog::RunFilter& filter) {
    int64_t day = 0;
    if (!options.since.empty()) {
        if (!unpacklog::ParseDay(options.since, day))
            return "--since takes a date YYYY-MM-DD, not '" + options.since + "'";
        filter.since = day;
    }
    if (!options.until.empty()) {
        if (!unpacklog::ParseDay(options.until, day))
            return "--until takes a date YYYY-MM-DD, not '" + options.until + "'";
        filter.until = day + 24 * 60 * 60;  // the whole of the last day
    }
    if (filter.since >= 0 && filter.until >= 0 && filter.since >= filter.until)
        return "--since " + options.since + " is after --until " + options.until;
    if (options.outcomes.empty()) return std::string();
    filter.upgraded = filter.refused = filter.failed = filter.none = false;
    for (const std::string& outcome : options.outcomes) {
        bool* chosen = outcome == "upgraded" ? &filter.upgraded
                       : outcome == "refused" ? &filter.refused
                       : outcome == "failed"  ? &filter.failed
                       : outcome == "none"    ? &filter.none
                                              : nullptr;
        if (chosen == nullptr) return "--outcome is upgraded, refused, failed or none, not '" + outcome + "'";
        *chosen = true;
    }
    return std::string();
}

int Log(const LogOptions& options) {
    unpacklog::LogOptions reading;
    reading.mode = options.last   ? unpacklog::LogMode::LastRun
                   : options.text ? unpacklog::LogMode::Text
                                  : unpacklog::LogMode::Runs;
    reading.json = options.json;
    const std::string wrong = MakeFilter(options, reading.filter);
    if (!wrong.empty()) return UsageError("log: " + wrong);
    size_t standardInputs = 0;
    for (const std::string& path : options.paths) standardInputs += path == "-" ? 1 : 0;
    if (standardInputs > 1) return UsageError("log: standard input ('-') can be read once");

    int code = unpacklog::kUpgraded;
    const bool several = options.paths.size() > 1;
    reading.nameInNotes = several || options.json;
    const bool headed = several && !options.json && !options.text;
    std::vector<unpacklog::FileTally> tallies;
    for (const std::string& path : options.paths) {
        unpacklog::FileTally file;
        file.file = path;
        reading.file = path;
        std::ifstream opened;
        std::istream* in = &std::cin;
        if (path == "-") {
#ifdef _WIN32
            _setmode(_fileno(stdin), _O_BINARY);  // the log's bytes as they are, not text
#endif
        } else {
            opened.open(path, std::ios::binary);
            in = &opened;
        }
        if (headed) std::cout << (tallies.empty() ? "" : "\n") << "==> " << path << " <==\n";
        int fileCode = unpacklog::kUnreadable;
        if (!*in)
            file.error = std::string("it cannot be opened: ") + std::strerror(errno);
        else
            fileCode = unpacklog::ReadLog(*in, reading, std::cout, std::cerr, file.error, &file.tally);
        std::cout.flush();
        if (fileCode == unpacklog::kUnreadable) {
            std::fprintf(stderr, "upkpack: log: %s: not a log it can read: %s\n", path.c_str(), file.error.c_str());
            if (headed) std::cout << "not a log it can read: " << file.error << "\n";
        } else {
            file.error.clear();
        }
        if (fileCode > code) code = fileCode;
        tallies.push_back(file);
    }
    if (headed) {
        std::cout << "\n";
        unpacklog::TellFleet(std::cout, tallies);
    }
    return code;
}

}  // namespace

Command AddLog(CLI::App& upkpack) {
    auto options = std::make_shared<LogOptions>();
    CLI::App* app = upkpack.add_subcommand(
        "log", "Tells each run in unpack.logs: when, the steps reached, mode, versions and the outcome.");
    app->add_option("UNPACK.LOG", options->paths,
                    "the unpacker's logs (%TEMP%\\unpack.log), any number; - reads standard input")
        ->required();
    CLI::Option* last =
        app->add_flag("--last", options->last, "the run that decided only (a copy refused meanwhile is mentioned)");
    CLI::Option* json = app->add_flag("--json", options->json, "one JSON object per run, one a line");
    CLI::Option* since = app->add_option("--since", options->since, "runs started on this day (YYYY-MM-DD) or later");
    CLI::Option* until = app->add_option("--until", options->until, "runs started on this day (YYYY-MM-DD) or earlier");
    CLI::Option* outcome = app->add_option("--outcome", options->outcomes, "runs that ended so: upgraded, refused, "
                                                                           "failed (the C++ library's failure), none")
                               ->delimiter(',');
    app->add_flag("--text", options->text, "the logs' lines as UTF-8")->excludes(last, json, since, until, outcome);
    app->footer(kLogFooter);
    return {app, [options] { return Log(*options); }};
}

}  // namespace upkpack
