// Reads an unpack.log as it comes back from a customer's machine: UTF-16LE with
// CR LF (or a UTF-8 or UTF-16BE copy of it), appended to over many runs,
// possibly cut off, with the lines of two copies of the unpacker interleaved.
// Tells, run by run, what each run did and how it ended. Reads as a stream:
// memory does not grow with the file.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace unpacklog {

enum class LogMode {
    Runs,     // every run, in the order they started
    LastRun,  // the run that decided last (not a second copy refused meanwhile)
    Text,     // the lines only, as UTF-8
};

constexpr int kUpgraded = 0;     // the run that decided last upgraded the host
constexpr int kNotUpgraded = 1;  // it refused, failed, or its lines tell no outcome
constexpr int kUnreadable = 2;   // the input is not a log this reader can read

// Writes the report (or, in Text mode, the lines) to out, and what it noticed
// about the file itself (cut off, odd length, byte-order mark) to notes.
// Returns one of the codes above; with kUnreadable, error says why and
// nothing has been written to out.
int ReadLog(std::istream& in, LogMode mode, std::ostream& out, std::ostream& notes, std::string& error);

}  // namespace unpacklog
