// Reads an unpack.log as it comes back from a customer's machine: UTF-16LE with
// CR LF (or a UTF-8 or UTF-16BE copy of it, or a copy with the unpacker's lines
// appended later), appended to over many runs, possibly cut off, joined with
// other logs in any order, with the lines of two copies of the unpacker
// interleaved. Tells, run by run, what each run did and how it ended, as text
// for people or as JSON Lines for programs. Reads as a stream: memory does not
// grow with the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace unpacklog {

enum class LogMode {
    Runs,     // every run, in the order they started
    LastRun,  // the run that decided, by time (not a second copy refused meanwhile)
    Text,     // the lines only, as UTF-8
};

constexpr int kUpgraded = 0;     // the run that decided upgraded the host
constexpr int kNotUpgraded = 1;  // it refused, failed, or its lines tell no outcome; or no run was chosen
constexpr int kUnreadable = 2;   // the input is not a log this reader can read

// The runs that count: shown, summed up and decided among. A run is dated by
// its first line; one without a time passes no date bound.
struct RunFilter {
    int64_t since = -1;  // seconds since 1970 (the log's local time) of the first day's start; -1: none
    int64_t until = -1;  // of the day after the last day's start; -1: none
    bool upgraded = true, refused = true, failed = true, none = true;
    bool Any() const { return since >= 0 || until >= 0 || !(upgraded && refused && failed && none); }
};

// "YYYY-MM-DD" to the seconds of that day's start, as the log's times are counted.
bool ParseDay(const std::string& text, int64_t& seconds);

struct LogOptions {
    LogMode mode = LogMode::Runs;
    bool json = false;   // one JSON object per run, one a line, instead of the text
    RunFilter filter;
    std::string file;    // the file's name in JSON records
    bool nameInNotes = false;  // notes written aside begin with the file's name
};

// The rows of the refusal table, and one more for a refusal whose line is missing.
constexpr size_t kRefusalRows = 12;

// What one file adds to the summary of several.
struct LogTally {
    size_t runs = 0;           // chosen runs, each counted once however often the file holds it
    size_t upgraded = 0, refused = 0, failed = 0, none = 0;
    size_t byRefusal[kRefusalRows] = {};
    size_t twice = 0;          // runs the file holds more than once
    bool decided = false;      // a chosen run decided
    bool decidedUpgraded = false;  // and it upgraded
    std::string verdict;       // how it ended, in the summary's words
};

// Writes the report (or, in Text mode, the lines; with json, the records) to
// out, and what it noticed about the file itself (cut off, odd length,
// byte-order mark) to out as text, or to notes in Text and JSON mode. Returns
// one of the codes above; with kUnreadable, error says why and nothing has
// been written to out.
int ReadLog(std::istream& in, const LogOptions& options, std::ostream& out, std::ostream& notes, std::string& error,
            LogTally* tally = nullptr);
int ReadLog(std::istream& in, LogMode mode, std::ostream& out, std::ostream& notes, std::string& error);

// The summary of several files: runs by outcome and by refusal, how each
// file's deciding run ended, and the files that hold no log (error: why).
struct FileTally {
    std::string file;
    std::string error;  // empty when the file is a log
    LogTally tally;
};
void TellFleet(std::ostream& out, const std::vector<FileTally>& files);

}  // namespace unpacklog
