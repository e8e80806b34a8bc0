// The subcommands of upkpack, one source each, and what they share: the exit
// codes and how a usage error is told.
#pragma once

#include <string>

namespace upkpack {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints the message with a pointer to --help; returns kExitUsage.
int UsageError(const std::string& message);

// Each takes main's arguments as they stand (argv[1] is the subcommand).
int Pack(int argc, char** argv);
int Inspect(int argc, char** argv);
int Extract(int argc, char** argv);
int Log(int argc, char** argv);

}  // namespace upkpack
