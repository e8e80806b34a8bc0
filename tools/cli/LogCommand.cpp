// upkpack log: tells the runs in an unpack.log.
#include "tools/cli/Commands.h"
#include "tools/log/LogReader.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace upkpack {

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

}  // namespace upkpack
