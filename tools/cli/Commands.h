// The subcommands of upkpack, one source each, and what they share: the exit
// codes, how a usage error is told, and how a subcommand joins the command line.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace upkpack {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints the message with a pointer to --help; returns kExitUsage.
int UsageError(const std::string& message);

// A subcommand added to the command line, and what runs it once the command
// line is parsed (its options are held by the function).
struct Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

Command AddPack(CLI::App& upkpack);
Command AddInspect(CLI::App& upkpack);  // alias: verify
Command AddExtract(CLI::App& upkpack);
Command AddLog(CLI::App& upkpack);

}  // namespace upkpack
