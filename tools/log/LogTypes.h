// What the parts of the log reader share: the limits that keep its memory
// bounded, the decoder, a parsed line, a run, and the grouping of lines into
// runs. Internal to the reader; LogReader.h is its interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace unpacklog {

constexpr size_t kChunkSize = 64 * 1024;
// A line the unpacker writes has at most about 1,100 characters (a message
// holds 1,022); anything longer is damage or junk, and only this much is kept.
constexpr size_t kMaxLineUnits = 4096;
// A log shows a line of its format at once; a file without one in this many
// bytes is something else, and is not read to its end.
constexpr uint64_t kRecognitionWindow = 64 * 1024;
// Process ids are reused over the months a log grows: lines of one id this far
// apart belong to different runs, even when a run's last line was lost.
constexpr int64_t kRunGapSeconds = 12 * 60 * 60;
// Runs open at once. More than a few means lost end lines; the oldest is then
// closed, so that memory stays bounded whatever the file holds.
constexpr size_t kMaxOpenRuns = 64;

// ---------------------------------------------------------------------------
// A log's bytes to lines of UTF-8 text (LogDecode.cpp): UTF-16LE as the
// unpacker writes it, or a copy in UTF-16BE or UTF-8, told from its first bytes
// and again at the start of each line, since a copy saved by an editor may
// have had the unpacker's own lines appended to it later.

enum class Encoding { Utf16Le, Utf16Be, Utf8 };

class LogText {
public:
    explicit LogText(std::istream& in) : in_(in), buffer_(kChunkSize) {}

    // The next line as UTF-8, without its line end; false at the end of the input.
    bool Next(std::string& line);

    // Reads no further than this many bytes (0: no bound), so that input
    // without line ends, such as /dev/zero, cannot keep it reading.
    void BoundTo(uint64_t bytes) {
        bound_ = bytes;
        bounded_ = false;
    }

    uint64_t BytesRead() const { return bytesRead_; }
    bool ReadFailed() const { return in_.bad(); }
    bool Bounded() const { return bounded_; }

    Encoding encoding = Encoding::Utf16Le;  // of the stretch being read
    bool byteOrderMark = false;  // of any of the three: the unpacker writes none
    // The encodings of the file's stretches, in the order they first appear.
    std::vector<Encoding> stretches;
    bool oddLength = false;
    bool cutMidLine = false;
    size_t endedLines = 0;
    size_t overlongLines = 0;

private:
    void Detect();
    void DetectAtLineStart();
    bool Peek(size_t count);  // false when fewer than count bytes are left
    void UseEncoding(Encoding next);
    bool NextByte(uint8_t& byte);
    bool NextUnit(uint16_t& unit);
    bool NextCodePoint(uint32_t& c);  // UTF-8: U+FFFD for each byte of a malformed sequence
    static void AppendCodePoint(std::string& out, uint32_t c);
    void AppendUnit(std::string& out, uint16_t unit);
    void FlushHighSurrogate(std::string& out);

    std::istream& in_;
    std::vector<char> buffer_;
    size_t filled_ = 0;
    size_t position_ = 0;
    uint64_t bytesRead_ = 0;
    uint64_t bound_ = 0;
    bool bounded_ = false;
    bool detected_ = false;
    uint16_t highSurrogate_ = 0;
    int pendingByte_ = -1;  // UTF-8: a byte read past a malformed sequence, read again next
};

// Why a file in which no line of the log's format was found is not a log.
// firstLine: how the file begins, to tell a log cut inside its first line from junk.
std::string WhyUnreadable(const LogText& lines, const std::string& firstLine);

// ---------------------------------------------------------------------------
// One line: "[pid]YYYY-MM-DD HH:MM:SS  [Class::Method] message (Last=n)" (LogLine.cpp).

struct LogLine {
    long long pid = 0;
    std::string time;      // empty when the unpacker could not format it
    int64_t seconds = -1;  // the time as a count of seconds, for gaps; -1 without a time
    std::string caller;
    std::string message;
    bool complete = false;  // ends with the last-error field, as every whole line does
};

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A signed decimal at the start of text, as "%d" wrote it; 0 when there is none.
long long LeadingNumber(const std::string& text);

// false when the text is not a line of the log's format.
bool ParseLogLine(const std::string& text, LogLine& line);

// The C++ library's failure ends the unpacker with exit code 3 and one line
// whose caller is one of these, such as "[operator new] out of memory".
bool IsLibraryFailureCaller(const std::string& caller);

// ---------------------------------------------------------------------------
// Refusals and runs (LogRuns.cpp).

enum Refusal {
    kAnotherInstance,
    kNotNewer,
    kOsBound,
    kVersionBound,
    kPathMissing,
    kUnpackFailed,
    kPackageDamaged,  // kUnpackFailed after the package check's "Package damaged" line
    kPackageFormat,   // kUnpackFailed after the package check's "Package format <n> is not known" line
    kExpandFailed,
    kInstallFailed,
    kLaunchFailed,
    kNoRefusal,
};
constexpr int kRefusalCount = kNoRefusal;

// What became of a run.
enum class Outcome { Upgraded, Refused, Failed, None };  // Failed: ended by the C++ library's failure

struct Run {
    size_t number = 0;  // in the order the runs started, from 1
    long long pid = 0;
    std::string firstTime, lastTime;
    int64_t firstSeconds = -1, lastSeconds = -1;
    size_t lines = 0;
    bool beganMidway = false;  // its first line is not one that opens a run
    size_t alongside = 0;      // the number of a run whose lines are interleaved with this one's
    long long alongsidePid = 0;

    bool criteriaPassed = false;
    int hostProgramsStopped = 0;
    std::string os;
    bool packageFound = false;
    int filesExtracted = 0;
    bool started = false;
    std::string mode;
    std::vector<long long> commandCodes;  // exit codes (or start errors) of the four commands, in order
    bool installedKnown = false, packageKnown = false;
    std::string installed, package, bound;

    Refusal refusal = kNoRefusal;
    std::string refusalLine;
    int64_t refusalSeconds = -1, fixUpSeconds = -1;  // the box of manual mode waits between the two
    std::string trouble;    // what the unpacker's own lines say went wrong
    Refusal checked = kNoRefusal;  // what the package check's refusal line says, when it wrote one
    std::string freeSpace;  // the last free-space line, for a disk-space refusal
    bool fixedUp = false;   // the updater fix-up ran, which only a refusal does
    std::string cutLine;    // a line of this run that was cut off
    bool ended = false;     // its last line (success or "prepare to exit") is in
    std::string libraryFailure;  // "[operator new] out of memory": the run ended there, exit code 3
    uint64_t fingerprint = 0;    // of its lines, to tell a run that the file holds twice

    // Told from the runs after it: what an upgrade installed, which its own lines do not say.
    std::string installedAfter;
    size_t installedAfterRun = 0;
};

// The run's lines show an upgrade: it started, nothing refused it, expand.exe
// ended with 0 and both VYAuto.exe commands with an accepted code.
bool Upgraded(const Run& run);
Outcome OutcomeOf(const Run& run);

// Groups lines into runs by process id and time, and hands each run on once it
// is over, in the order the runs started.
class RunGrouper {
public:
    explicit RunGrouper(std::function<void(const Run&)> emit) : emit_(std::move(emit)) {}

    void Add(const LogLine& line);
    void Finish();

private:
    struct Pending {
        Run run;
        bool open = true;
        size_t firstLine = 0;  // positions in the file, to tell interleaved runs
        size_t lastLine = 0;
    };

    static bool FarApart(int64_t a, int64_t b);
    static bool SpansOverlap(const Run& a, const Run& b);
    Pending* Start(const LogLine& line);
    void Close(long long pid);
    void Drain();

    std::function<void(const Run&)> emit_;
    std::deque<Pending> runs_;  // from number first_ + 1 on, in start order
    size_t first_ = 0;
    std::map<long long, size_t> open_;  // pid -> index of its open run
    size_t lineNumber_ = 0;
};

// ---------------------------------------------------------------------------
// The facts the report tells of a run, built once; the text and the JSON are
// two views of them (LogReport.cpp).

// One field of a run's report; prose is wrapped, text quoted from the log is not.
struct ReportField {
    const char* label;
    std::string text;
    bool wrap = false;
    bool note = false;  // a remark on the run's lines rather than one of its facts
};

struct RunFacts {
    const Run* run = nullptr;
    Outcome outcome = Outcome::None;
    int refusalRow = -1;  // the refusal table's row; kRefusalCount: refused without the line that says why
    std::vector<std::string> steps;
    std::string mode;  // "manual" or "auto"; empty when not known
    bool modeLogged = false;
    std::string modeText;  // the field as told
    std::string package;   // the package's version; empty when not known
    bool packageLogged = false;
    std::string packageText;
    size_t repeatOf = 0;                // an earlier run with the same lines, pid and times
    std::vector<ReportField> fields;    // begins, alongside, repeats; then outcome, meaning, ended, cause, cut off
};

RunFacts FactsOf(const Run& run, size_t repeatOf);
void TellRun(std::ostream& out, const RunFacts& facts);
void WriteRunJson(std::ostream& out, const RunFacts& facts, const std::string& file);
std::string Verdict(const Run& run);
// The refusal table's rows: the key in JSON and the log line in the summary.
const char* RefusalKey(int row);
const char* RefusalRowLine(int row);
std::string Plural(long long count, const char* word);

}  // namespace unpacklog
