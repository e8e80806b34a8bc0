// upkpack log: tells the runs in an unpack.log.
#include "tools/cli/Commands.h"
#include "tools/log/LogReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

namespace upkpack {

namespace {

struct LogOptions {
    std::string path;
    bool last = false, text = false;
};

int Log(const LogOptions& options) {
    const std::string& path = options.path;
    const unpacklog::LogMode mode = options.last   ? unpacklog::LogMode::LastRun
                                    : options.text ? unpacklog::LogMode::Text
                                                   : unpacklog::LogMode::Runs;
    std::ifstream in(path, std::ios::binary);
    std::string error = in ? std::string() : std::string("it cannot be opened: ") + std::strerror(errno);
    int code = unpacklog::kUnreadable;
    if (in) code = unpacklog::ReadLog(in, mode, std::cout, std::cerr, error);
    std::cout.flush();
    if (code == unpacklog::kUnreadable)
        std::fprintf(stderr, "upkpack: log: %s: not a log it can read: %s\n", path.c_str(), error.c_str());
    return code;
}

}  // namespace

Command AddLog(CLI::App& upkpack) {
    auto options = std::make_shared<LogOptions>();
    CLI::App* app = upkpack.add_subcommand(
        "log", "Tells each run in an unpack.log: when, the steps reached, mode, versions and the outcome.");
    app->add_option("UNPACK.LOG", options->path, "the unpacker's log (%TEMP%\\unpack.log)")->required();
    CLI::Option* last = app->add_flag("--last", options->last, "the run that decided last only (a copy refused meanwhile is mentioned)");
    app->add_flag("--text", options->text, "the log as UTF-8")->excludes(last);
    return {app, [options] { return Log(*options); }};
}

}  // namespace upkpack
