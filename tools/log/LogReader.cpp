#include "tools/log/LogReader.h"

#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace unpacklog {
namespace {

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
// Texts from the log (versions, paths) are shown up to this length.
constexpr size_t kShownLength = 120;
constexpr size_t kLineWidth = 100;

const char kFormat[] = "[pid]YYYY-MM-DD HH:MM:SS  [Class::Method] message (Last=n)";
const char kAskForOriginal[] = "ask for the original %TEMP%\\unpack.log rather than a converted copy";

// ---------------------------------------------------------------------------
// UTF-16LE bytes to lines of UTF-8 text.

class Utf16Lines {
public:
    explicit Utf16Lines(std::istream& in) : in_(in), buffer_(kChunkSize) {}

    // The next line as UTF-8, without its line end; false at the end of the input.
    bool Next(std::string& line) {
        line.clear();
        size_t units = 0;
        bool any = false;
        for (;;) {
            uint16_t unit = 0;
            if (!NextUnit(unit)) {
                FlushHighSurrogate(line);
                if (any) cutMidLine = true;
                return any;
            }
            any = true;
            if (unit == u'\n') {
                FlushHighSurrogate(line);
                ++endedLines;
                return true;
            }
            if (unit == u'\r') continue;
            if (++units > kMaxLineUnits) {
                if (units == kMaxLineUnits + 1) ++overlongLines;
                continue;
            }
            AppendUnit(line, unit);
        }
    }

    uint64_t BytesRead() const { return bytesRead_; }
    bool ReadFailed() const { return in_.bad(); }

    bool byteOrderMark = false;  // FF FE: the unpacker writes none
    bool bigEndianMark = false;  // FE FF
    bool utf8Mark = false;       // EF BB (BF)
    bool oddLength = false;
    bool cutMidLine = false;
    size_t endedLines = 0;
    size_t overlongLines = 0;
    uint64_t zeroBytesInWindow = 0;

private:
    bool NextByte(uint8_t& byte) {
        if (position_ == filled_) {
            in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
            filled_ = static_cast<size_t>(in_.gcount());
            position_ = 0;
            if (filled_ == 0) return false;
        }
        byte = static_cast<uint8_t>(buffer_[position_++]);
        if (bytesRead_ < kRecognitionWindow && byte == 0) ++zeroBytesInWindow;
        ++bytesRead_;
        return true;
    }

    bool NextUnit(uint16_t& unit) {
        uint8_t low = 0, high = 0;
        if (!NextByte(low)) return false;
        if (!NextByte(high)) {
            oddLength = true;
            return false;
        }
        unit = static_cast<uint16_t>(low | high << 8);
        if (bytesRead_ == 2) {
            if (unit == 0xFEFF) {
                byteOrderMark = true;
                return NextUnit(unit);
            }
            bigEndianMark = unit == 0xFFFE;
            utf8Mark = low == 0xEF && high == 0xBB;
        }
        return true;
    }

    static void AppendCodePoint(std::string& out, uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    // Unpaired surrogates and NULs (junk, never in a log) become U+FFFD, so
    // that the text written out is always valid UTF-8 without NULs.
    void AppendUnit(std::string& out, uint16_t unit) {
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            FlushHighSurrogate(out);
            highSurrogate_ = unit;
            return;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (highSurrogate_ == 0) {
                AppendCodePoint(out, 0xFFFD);
                return;
            }
            AppendCodePoint(out, 0x10000 + ((static_cast<uint32_t>(highSurrogate_) - 0xD800) << 10) + (unit - 0xDC00));
            highSurrogate_ = 0;
            return;
        }
        FlushHighSurrogate(out);
        AppendCodePoint(out, unit == 0 ? 0xFFFD : unit);
    }

    void FlushHighSurrogate(std::string& out) {
        if (highSurrogate_ != 0) AppendCodePoint(out, 0xFFFD);
        highSurrogate_ = 0;
    }

    std::istream& in_;
    std::vector<char> buffer_;
    size_t filled_ = 0;
    size_t position_ = 0;
    uint64_t bytesRead_ = 0;
    uint16_t highSurrogate_ = 0;
};

// ---------------------------------------------------------------------------
// One line: "[pid]YYYY-MM-DD HH:MM:SS  [Class::Method] message (Last=n)".

struct LogLine {
    long long pid = 0;
    std::string time;      // empty when the unpacker could not format it
    int64_t seconds = -1;  // the time as a count of seconds, for gaps; -1 without a time
    std::string caller;
    std::string message;
    bool complete = false;  // ends with the last-error field, as every whole line does
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A signed decimal at the start of text, as "%d" wrote it; 0 when there is none.
long long LeadingNumber(const std::string& text) {
    size_t i = text.empty() || text[0] != '-' ? 0 : 1;
    long long value = 0;
    for (size_t digits = 0; i < text.size() && IsDigit(text[i]) && digits < 18; ++i, ++digits)
        value = value * 10 + (text[i] - '0');
    return !text.empty() && text[0] == '-' ? -value : value;
}

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool ParseTime(const std::string& text, size_t at, int64_t& seconds) {
    static const char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() < at + sizeof(kShape) - 1) return false;
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        char c = text[at + i];
        if (kShape[i] == 'd' ? !IsDigit(c) : c != kShape[i]) return false;
    }
    auto field = [&](size_t offset, size_t length) { return LeadingNumber(text.substr(at + offset, length)); };
    const int64_t month = field(5, 2), day = field(8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    seconds = DaysFromCivil(field(0, 4), month, day) * 86400 + field(11, 2) * 3600 + field(14, 2) * 60 + field(17, 2);
    return true;
}

bool ParseLogLine(const std::string& text, LogLine& line) {
    line = LogLine{};
    if (text.empty() || text[0] != '[') return false;
    size_t i = 1;
    if (i < text.size() && text[i] == '-') ++i;
    const size_t digits = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i == digits || i - digits > 10 || i >= text.size() || text[i] != ']') return false;
    line.pid = LeadingNumber(text.substr(1, i - 1));
    ++i;
    // A failed time conversion leaves the stamp out: "[pid]  [...]".
    if (text.compare(i, 2, "  ") != 0) {
        if (!ParseTime(text, i, line.seconds)) return false;
        line.time = text.substr(i, 19);
        i += 19;
    }
    if (text.compare(i, 3, "  [") != 0) return false;
    i += 3;
    const size_t close = text.find(']', i);
    if (close == std::string::npos || close == i || close + 1 >= text.size() || text[close + 1] != ' ') return false;
    line.caller = text.substr(i, close - i);
    if (line.caller.find(' ') != std::string::npos) return false;
    line.message = text.substr(close + 2);

    const size_t last = line.message.rfind(" (Last=");
    if (last != std::string::npos && line.message.back() == ')') {
        size_t j = last + 7;
        if (j < line.message.size() && line.message[j] == '-') ++j;
        const size_t start = j;
        while (j < line.message.size() && IsDigit(line.message[j])) ++j;
        if (j > start && j + 1 == line.message.size()) {
            line.message.erase(last);
            line.complete = true;
        }
    }
    return true;
}

std::string Shown(const std::string& text) {
    if (text.size() <= kShownLength) return text;
    size_t cut = kShownLength;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return text.substr(0, cut) + "...";
}

// ---------------------------------------------------------------------------
// Refusals, in the words of the README's table "What each refusal means".

enum Refusal {
    kAnotherInstance,
    kNotNewer,
    kOsBound,
    kVersionBound,
    kPathMissing,
    kUnpackFailed,
    kExpandFailed,
    kInstallFailed,
    kLaunchFailed,
    kNoRefusal,
};

const char* const kMeaning[] = {
    "a second copy was running (global mutex); let it finish, then read its run",
    "the installed host is as new as the package or newer; `CloudAutoUpdateStatus` is deleted; nothing to do, "
    "unless the package's product version is wrong",
    "the OS is at or below the mode's OS bound; the host needs a fresh installation, or `setup.ini` sets the "
    "bound too high",
    "the installed host is older than the mode's version bound (also when no host is installed); install the "
    "host afresh, or check the bound in `setup.ini`",
    "the unpack folder could not be created; check the rights on the programs folder and its free space",
    "no package found, the package could not be read, the disk filled up, or a leftover in the unpack folder "
    "bears the name of one of the package's files and could not be replaced (`Cannot replace what stands in the "
    "unpack folder: <path>`); see the `CUnPack::` lines above it. Nothing was expanded or installed; check the "
    "file with `upkpack inspect`, the free space, and remove such a leftover",
    "`expand.exe` failed (a damaged cabinet); see `aucab.txt`, and check the cabinet with `upkpack extract`",
    "`VYAuto.exe -i` ended with a code other than 0 or 1066; see `aucab.txt`",
    "`VYAuto.exe -r` ended with a code other than 0 or 1066; see `aucab.txt`",
};

const char kDriver[] = "CUnPackFileApp::InitInstance";

Refusal ClassifyRefusal(const std::string& message) {
    static const char kSkip[] = "upgrade skip ";
    if (!StartsWith(message, kSkip)) return kNoRefusal;
    const std::string rest = message.substr(sizeof(kSkip) - 1);
    if (StartsWith(rest, "OS less than the boundary ")) return kOsBound;
    if (StartsWith(rest, "path not exist ")) return kPathMissing;
    if (rest == "unpack not success") return kUnpackFailed;
    if (StartsWith(rest, "expand err")) return kExpandFailed;
    if (StartsWith(rest, "install service err")) return kInstallFailed;
    if (StartsWith(rest, "launch service err")) return kLaunchFailed;
    if (rest.find(" less than boundary ") != std::string::npos) return kVersionBound;
    if (rest.find(" less than ") != std::string::npos) return kNotNewer;
    return kAnotherInstance;
}

// ---------------------------------------------------------------------------
// Runs.

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
    std::string trouble;    // what the unpacker's own lines say went wrong
    std::string freeSpace;  // the last free-space line, for a disk-space refusal
    bool fixedUp = false;   // the updater fix-up ran, which only a refusal does
    std::string cutLine;    // a line of this run that was cut off
    bool ended = false;     // its last line (success or "prepare to exit") is in
};

bool AcceptedInstallerCode(long long code) { return code == 0 || code == 1066; }

bool Upgraded(const Run& run) {
    return run.refusal == kNoRefusal && !run.fixedUp && run.started && run.commandCodes.size() >= 4 &&
           run.commandCodes[1] == 0 && AcceptedInstallerCode(run.commandCodes[2]) &&
           AcceptedInstallerCode(run.commandCodes[3]);
}

// A line that only the first steps of a run write: the single-instance
// refusal or one of the criteria.
bool OpensRun(const LogLine& line) {
    if (!line.complete || line.caller != kDriver) return false;
    if (StartsWith(line.message, "upgrade criteria passed ")) return true;
    const Refusal refusal = ClassifyRefusal(line.message);
    return refusal == kAnotherInstance || refusal == kNotNewer || refusal == kOsBound || refusal == kVersionBound;
}

// "prefix A<separator>B": A and B, either possibly empty (B when the separator is missing).
void SplitAround(const std::string& text, size_t from, const char* separator, std::string& a, std::string& b) {
    const size_t at = text.find(separator, from);
    a = text.substr(from, at == std::string::npos ? std::string::npos : at - from);
    b = at == std::string::npos ? std::string() : text.substr(at + std::char_traits<char>::length(separator));
}

void ApplyDriverLine(Run& run, const std::string& message) {
    if (StartsWith(message, "upgrade criteria passed ")) {
        run.criteriaPassed = true;
        run.installedKnown = true;
        SplitAround(message, 24, " >= ", run.installed, run.bound);
    } else if (StartsWith(message, "Close VYAU pid:")) {
        ++run.hostProgramsStopped;
    } else if (StartsWith(message, "upgrade start by ")) {
        run.started = true;
        run.mode = message.substr(17);
    } else {
        const Refusal refusal = ClassifyRefusal(message);
        if (refusal == kNoRefusal || run.refusal != kNoRefusal) return;
        run.refusal = refusal;
        run.refusalLine = message;
        if (refusal == kNotNewer) {
            run.installedKnown = run.packageKnown = true;
            SplitAround(message, 13, " less than ", run.package, run.installed);
        } else if (refusal == kVersionBound) {
            run.installedKnown = true;
            SplitAround(message, 13, " less than boundary ", run.installed, run.bound);
        }
    }
}

void ApplyLine(Run& run, const LogLine& line) {
    ++run.lines;
    if (run.firstTime.empty() && run.firstSeconds < 0) {
        run.firstTime = line.time;
        run.firstSeconds = line.seconds;
    }
    if (!line.time.empty()) {
        run.lastTime = line.time;
        run.lastSeconds = line.seconds;
    }
    if (!line.complete) {
        run.cutLine = line.message;
        return;
    }
    const std::string& message = line.message;
    if (line.caller == kDriver) {
        ApplyDriverLine(run, message);
    } else if (line.caller == "CUtility::OSInfo" && StartsWith(message, "OS ")) {
        run.os = message.substr(3);
    } else if (line.caller == "CUnPack::FindHeader") {
        if (StartsWith(message, "Header offset:")) {
            run.packageFound = message != "Header offset:0";
            if (!run.packageFound) run.trouble = "no package found in the executable (header offset 0)";
        } else if (!StartsWith(message, "Name:") && !StartsWith(message, "Sign Size:")) {
            run.packageFound = false;
            run.trouble = message;
        }
    } else if (line.caller == "CUnPack::UnPackFiles") {
        if (StartsWith(message, " FreeSpace:")) {
            run.freeSpace = message.substr(1);
        } else if (StartsWith(message, "UnPack count:")) {
            ++run.filesExtracted;
        } else if (message.find("not enough disk space") != std::string::npos) {
            run.trouble = message + " (" + run.freeSpace + ")";
        } else if (!StartsWith(message, "(") && !StartsWith(message, "UnPack total ")) {
            run.trouble = message;
        }
    } else if (line.caller == "CUtility::FileException") {
        run.trouble = message;
    } else if (line.caller == "CUnPackFileApp::ExecuteCommand") {
        if (StartsWith(message, "fail "))
            run.commandCodes.push_back(LeadingNumber(message.substr(5)));
        else if (StartsWith(message, "pid:") && message.find(" finish ecode:") != std::string::npos)
            run.commandCodes.push_back(LeadingNumber(message.substr(message.find(" finish ecode:") + 14)));
        if (run.commandCodes.size() == 4 && Upgraded(run)) run.ended = true;
    } else if (line.caller == "CUnPackFileApp::HackForNDUSilentInstallFail") {
        if (StartsWith(message, "upgrade skip, hack platform ")) run.fixedUp = true;
        if (message == "autoinstaller prepare to exit") run.ended = true;
    }
}

// ---------------------------------------------------------------------------
// Telling a run.

std::string Plural(long long count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// The driver's steps this run's lines show it reached, in the driver's order.
std::vector<std::string> Steps(const Run& run) {
    static const char* const kCommands[] = {"date stamp", "expand", "install service", "launch service"};
    std::vector<std::string> steps;
    if (run.criteriaPassed)
        steps.push_back("criteria passed");
    else if (run.refusal == kAnotherInstance)
        steps.push_back("single-instance check (refused)");
    else if (run.refusal == kNotNewer || run.refusal == kOsBound || run.refusal == kVersionBound)
        steps.push_back("criteria (refused)");
    if (run.hostProgramsStopped > 0)
        steps.push_back("host programs stopped (" + std::to_string(run.hostProgramsStopped) + ")");
    if (run.packageFound) steps.push_back("package found");
    if (run.filesExtracted > 0) steps.push_back(Plural(run.filesExtracted, "file") + " extracted");
    if (run.started) steps.push_back("upgrade started");
    for (size_t i = 0; i < run.commandCodes.size() && i < 4; ++i) steps.push_back(kCommands[i]);
    return steps;
}

// "OS 10.0(19045)  x64:1": version, build, service pack, and whether the
// 32-bit unpacker ran on 64-bit Windows.
std::string DescribeOs(const std::string& os) {
    const size_t open = os.find('('), close = os.find(") "), bits = os.rfind(" x64:");
    if (open == std::string::npos || close == std::string::npos || bits == std::string::npos || close > bits ||
        open > close)
        return Shown(os);
    std::string servicePack = os.substr(close + 2, bits - close - 2);
    while (!servicePack.empty() && servicePack.back() == ' ') servicePack.pop_back();
    return Shown(os.substr(0, open)) + " build " + Shown(os.substr(open + 1, close - open - 1)) +
           (servicePack.empty() ? "" : " " + Shown(servicePack)) +
           (os.substr(bits + 5) == "1" ? ", 64-bit Windows" : ", 32-bit Windows");
}

std::string Version(const std::string& version) { return version.empty() ? "none (empty)" : Shown(version); }

// One field of a run's report; prose is wrapped, text quoted from the log is not.
struct ReportField {
    const char* label;
    std::string text;
    bool wrap;
};

// The outcome, then what explains it.
std::vector<ReportField> Outcome(const Run& run) {
    std::vector<ReportField> fields;
    if (Upgraded(run)) {
        fields.push_back({"outcome:",
                          "upgraded (installer exit codes: expand.exe " + std::to_string(run.commandCodes[1]) +
                              ", VYAuto.exe -i " + std::to_string(run.commandCodes[2]) + ", VYAuto.exe -r " +
                              std::to_string(run.commandCodes[3]) + ")",
                          false});
        return fields;
    }
    if (run.refusal != kNoRefusal) {
        fields.push_back({"outcome:", "refused: " + Shown(run.refusalLine), false});
        fields.push_back({"meaning:", kMeaning[run.refusal], true});
    } else if (run.fixedUp) {
        fields.push_back({"outcome:",
                          "refused, but the line that says why is missing (lost while a second copy wrote to the "
                          "log?); the updater fix-up ran",
                          true});
    } else {
        const std::vector<std::string> steps = Steps(run);
        fields.push_back({"outcome:",
                          "none in the log: its lines stop after " +
                              (steps.empty() ? std::string("its first lines") : "\"" + steps.back() + "\"") +
                              "; the unpacker was ended, is still running, or its last lines were lost",
                          true});
    }
    if (!run.trouble.empty()) fields.push_back({"cause:", Shown(run.trouble), false});
    if (!run.cutLine.empty())
        fields.push_back({"cut off:", "a line ends early: \"" + Shown(run.cutLine) + "\"", false});
    return fields;
}

std::string TimeSpan(const Run& run) {
    if (run.firstTime.empty()) return "time not logged";
    if (run.lastTime.empty() || run.lastTime == run.firstTime) return run.firstTime;
    // The same day: only the clock time of the end.
    if (run.lastTime.compare(0, 10, run.firstTime, 0, 10) == 0) return run.firstTime + " to " + run.lastTime.substr(11);
    return run.firstTime + " to " + run.lastTime;
}

// "  label:     text"; prose is wrapped at blanks to keep lines short, while
// text quoted from the log stays on one line, as it is in the log.
void Field(std::ostream& out, const char* label, const std::string& text, bool wrap = false) {
    static const size_t kIndent = 13;
    std::string line = "  " + std::string(label);
    line.resize(kIndent, ' ');
    size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        size_t end = wrap ? text.find(' ', at) : std::string::npos;
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!first && line.size() + 1 + word.size() > kLineWidth) {
            out << line << "\n";
            line = std::string(kIndent, ' ');
        } else if (!first) {
            line += ' ';
        }
        line += word;
        first = false;
        at = end + 1;
    }
    out << line << "\n";
}

void TellRun(std::ostream& out, const Run& run) {
    out << "run " << run.number << ": pid " << run.pid << ", " << TimeSpan(run) << " (" << Plural(run.lines, "line")
        << ")\n";
    if (run.beganMidway) Field(out, "begins:", "in the middle: its first lines are not in the log");
    if (run.alongside != 0)
        Field(out, "alongside:",
              "run " + std::to_string(run.alongside) + " (pid " + std::to_string(run.alongsidePid) +
                  ") ran at the same time; their lines are interleaved",
              true);
    std::string steps;
    for (const std::string& step : Steps(run)) steps += (steps.empty() ? "" : ", ") + step;
    Field(out, "steps:", steps.empty() ? "none of the upgrade's steps" : steps, true);
    if (!run.mode.empty()) Field(out, "mode:", Shown(run.mode));
    if (run.installedKnown)
        Field(out, "installed:",
              Version(run.installed) + (run.bound.empty() ? "" : " (lower bound " + Shown(run.bound) + ")"));
    if (run.packageKnown) Field(out, "package:", Version(run.package));
    if (!run.os.empty()) Field(out, "OS:", DescribeOs(run.os));
    for (const ReportField& field : Outcome(run)) Field(out, field.label, field.text, field.wrap);
    out << "\n";
}

// Groups lines into runs by process id and time, and hands each run on once it
// is over, in the order the runs started.
class RunGrouper {
public:
    explicit RunGrouper(std::function<void(const Run&)> emit) : emit_(std::move(emit)) {}

    void Add(const LogLine& line) {
        ++lineNumber_;
        // Runs whose lines stopped long ago, or too many at once, are over.
        while (!runs_.empty() && runs_.front().open &&
               (runs_.size() > kMaxOpenRuns || FarApart(line.seconds, runs_.front().run.lastSeconds))) {
            Close(runs_.front().run.pid);
            Drain();
        }
        Pending* pending = nullptr;
        auto open = open_.find(line.pid);
        if (open != open_.end()) {
            pending = &runs_[open->second - first_];
            if (OpensRun(line) || FarApart(line.seconds, pending->run.lastSeconds)) {
                Close(line.pid);
                pending = nullptr;
            }
        }
        if (pending == nullptr) pending = Start(line);
        pending->lastLine = lineNumber_;
        ApplyLine(pending->run, line);
        if (pending->run.ended) Close(line.pid);
        Drain();
    }

    void Finish() {
        while (!open_.empty()) Close(open_.begin()->first);
        Drain();
    }

private:
    struct Pending {
        Run run;
        bool open = true;
        size_t firstLine = 0;  // positions in the file, to tell interleaved runs
        size_t lastLine = 0;
    };

    static bool FarApart(int64_t a, int64_t b) {
        return a >= 0 && b >= 0 && (a - b > kRunGapSeconds || b - a > kRunGapSeconds);
    }

    Pending* Start(const LogLine& line) {
        Pending pending;
        pending.run.number = first_ + runs_.size() + 1;
        pending.run.pid = line.pid;
        pending.run.beganMidway = !OpensRun(line);
        pending.firstLine = lineNumber_;
        runs_.push_back(pending);
        open_[line.pid] = first_ + runs_.size() - 1;
        return &runs_.back();
    }

    void Close(long long pid) {
        auto open = open_.find(pid);
        if (open == open_.end()) return;
        runs_[open->second - first_].open = false;
        open_.erase(open);
    }

    // Hands on the closed runs at the front, so that the order stays that of
    // the starts. A run that started before the front's last line ran at the
    // same time as it: their lines are interleaved.
    void Drain() {
        while (!runs_.empty() && !runs_.front().open) {
            Run& run = runs_.front().run;
            for (size_t i = 1; i < runs_.size(); ++i) {
                Run& later = runs_[i].run;
                if (runs_[i].firstLine > runs_.front().lastLine) break;
                if (run.alongside == 0) {
                    run.alongside = later.number;
                    run.alongsidePid = later.pid;
                }
                if (later.alongside == 0) {
                    later.alongside = run.number;
                    later.alongsidePid = run.pid;
                }
            }
            emit_(run);
            runs_.pop_front();
            ++first_;
        }
    }

    std::function<void(const Run&)> emit_;
    std::deque<Pending> runs_;  // from number first_ + 1 on, in start order
    size_t first_ = 0;
    std::map<long long, size_t> open_;  // pid -> index of its open run
    size_t lineNumber_ = 0;
};

// firstLine: how the file begins, to tell a log cut inside its first line from junk.
std::string WhyUnreadable(const Utf16Lines& lines, const std::string& firstLine) {
    if (lines.BytesRead() == 0) return "the file is empty";
    if (lines.bigEndianMark)
        return "it is UTF-16 big-endian (it begins with FE FF), not the UTF-16LE the unpacker writes";
    if (lines.utf8Mark)
        return std::string(
                   "it is UTF-8 text (it begins with a UTF-8 byte-order mark), not the UTF-16LE the unpacker "
                   "writes: ") +
               kAskForOriginal;
    if (lines.zeroBytesInWindow == 0)
        return std::string(
                   "it holds no zero bytes, so it is 8-bit text (UTF-8 or ASCII), not the UTF-16LE the "
                   "unpacker writes: ") +
               kAskForOriginal;
    if (lines.cutMidLine && lines.endedLines == 0 && firstLine.size() > 1 && firstLine[0] == '[' &&
        IsDigit(firstLine[1]))
        return std::string("its one line ends before it shows the log's format (") + kFormat + "): cut off?";
    return std::string("no line of the log's format (") + kFormat + ") in " +
           (lines.BytesRead() > kRecognitionWindow ? "its first " + std::to_string(kRecognitionWindow / 1024) + " KiB"
                                                   : std::string("the file")) +
           ": not an unpack.log";
}

}  // namespace

int ReadLog(std::istream& in, LogMode mode, std::ostream& out, std::ostream& notes, std::string& error) {
    Utf16Lines lines(in);
    std::string text;
    LogLine line;
    bool recognised = false;
    std::vector<std::string> held;  // text mode: lines ahead of the first log line
    size_t passedOver = 0;

    size_t runCount = 0;
    Run last;
    RunGrouper grouper([&](const Run& run) {
        ++runCount;
        if (mode == LogMode::Runs) TellRun(out, run);
        last = run;
    });

    std::string firstLine;
    while (lines.Next(text)) {
        if (lines.endedLines <= 1 && firstLine.empty()) firstLine = text.substr(0, 2);
        const bool isLog = ParseLogLine(text, line);
        if (!recognised) {
            if (!isLog || lines.bigEndianMark || lines.utf8Mark) {
                if (lines.BytesRead() > kRecognitionWindow || lines.bigEndianMark || lines.utf8Mark) break;
                if (mode == LogMode::Text) held.push_back(text);
                ++passedOver;
                continue;
            }
            recognised = true;
            for (const std::string& earlier : held) out << earlier << '\n';
            held.clear();
        }
        if (mode == LogMode::Text) {
            out << text << '\n';
            if (!isLog) ++passedOver;
            continue;
        }
        if (!isLog) {
            ++passedOver;
            continue;
        }
        grouper.Add(line);
    }
    if (!recognised) {
        error = lines.ReadFailed() ? "it cannot be read to its end" : WhyUnreadable(lines, firstLine);
        return kUnreadable;
    }
    grouper.Finish();

    std::ostream& said = mode == LogMode::Text ? notes : out;
    if (mode == LogMode::LastRun) TellRun(out, last);
    if (mode != LogMode::Text) {
        out << Plural(static_cast<long long>(runCount), "run") << " in the log; the last, run " << last.number
            << " (pid " << last.pid << ", " << (last.firstTime.empty() ? "time not logged" : last.firstTime) << "): "
            << (Upgraded(last)                               ? "upgraded"
                : last.refusal != kNoRefusal || last.fixedUp ? "refused"
                                                             : "no outcome")
            << "\n";
    }
    if (lines.byteOrderMark)
        said << "note: the file begins with a byte-order mark, which the unpacker never writes: another program "
                "saved it\n";
    if (lines.cutMidLine) said << "note: the file ends inside a line: it was cut off, or copied while being written\n";
    if (lines.oddLength)
        said << "note: the file has an odd number of bytes: its last byte, half a character, was passed over\n";
    if (lines.ReadFailed()) said << "note: the file could not be read to its end\n";
    if (passedOver > 0)
        said << "note: " << Plural(static_cast<long long>(passedOver), "line") << " not in the log's format "
             << (passedOver == 1 ? "was " : "were ")
             << (mode == LogMode::Text ? "converted as it stands" : "passed over") << "\n";
    if (lines.overlongLines > 0)
        said << "note: " << Plural(static_cast<long long>(lines.overlongLines), "line") << " longer than "
             << kMaxLineUnits << " characters " << (lines.overlongLines == 1 ? "was" : "were") << " cut short\n";
    if (mode == LogMode::Text) return 0;
    return Upgraded(last) ? kUpgraded : kNotUpgraded;
}

}  // namespace unpacklog
