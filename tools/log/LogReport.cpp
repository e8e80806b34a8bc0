// The report: each run told in a few fields, the summary and the notes about
// the file, and ReadLog, which drives the decoder, the parser and the grouper.
#include "tools/log/LogReader.h"
#include "tools/log/LogTypes.h"

#include <ostream>
#include <string>
#include <vector>

namespace unpacklog {
namespace {

// Texts from the log (versions, paths) are shown up to this length.
constexpr size_t kShownLength = 120;
constexpr size_t kLineWidth = 100;

std::string Shown(const std::string& text) {
    if (text.size() <= kShownLength) return text;
    size_t cut = kShownLength;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return text.substr(0, cut) + "...";
}

// ---------------------------------------------------------------------------
// Refusals, in the words of the README's table "What each refusal means".

const char* const kMeaning[] = {
    "a second copy was running (global mutex); let it finish, then read its run",
    "the installed host is as new as the package or newer; `CloudAutoUpdateStatus` is deleted; nothing to do, "
    "unless the package's product version is wrong",
    "the OS is at or below the mode's OS bound; the host needs a fresh installation, or `setup.ini` sets the "
    "bound too high",
    "the installed host is older than the mode's version bound (also when no host is installed); install the "
    "host afresh, or check the bound in `setup.ini`",
    "the unpack folder could not be created; check the rights on the programs folder and its free space. When no "
    "programs folder was found, the folder is `unpackautoupdate` in the temporary folder, and one there that could "
    "not be removed or is not as it was made refuses too: see the `CUnPack::GetUnPackPath` line above it",
    "no package found, the package could not be read, the disk filled up, or a leftover in the unpack folder "
    "bears the name of one of the package's files and could not be replaced (`Cannot replace what stands in the "
    "unpack folder: <path>`); see the `CUnPack::` lines above it. Nothing was expanded or installed; check the "
    "file with `upkpack inspect`, the free space, and remove such a leftover",
    "the package was damaged on its way to this machine (its SHA-256 or length does not match what was packed); "
    "nothing was written, expanded or installed. Ask the customer for the packaged file again (download it "
    "afresh); the log will not tell more, so do not ask for it again",
    "the package's trailer names a format this unpacker cannot check: packed by a newer `upkpack` behind an "
    "older stub, or damaged on its way; nothing was written, expanded or installed. `upkpack inspect` names the "
    "format; pack the release again with the tool of the stub's own build, or ask for the packaged file afresh",
    "`expand.exe` failed (a damaged cabinet); see `aucab.txt`, and check the cabinet with `upkpack extract`",
    "`VYAuto.exe -i` ended with a code other than 0 or 1066; see `aucab.txt`",
    "`VYAuto.exe -r` ended with a code other than 0 or 1066; see `aucab.txt`",
};
static_assert(sizeof(kMeaning) / sizeof(kMeaning[0]) == kNoRefusal, "one meaning for each refusal");

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
        // After a refusal the fix-up writes "autoinstaller prepare to exit"; in
        // manual mode it runs only once the refusal's message box is closed.
        if (!run.ended)
            fields.push_back({"ended:",
                              "without its last line (\"autoinstaller prepare to exit\"): the unpacker was ended "
                              "before it finished, such as killed while its message box waited in manual mode, or "
                              "the log was copied meanwhile",
                              true});
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

// A refused second copy: the copy that held the lock was running then.
struct RefusedCopy {
    size_t number;
    long long pid;
    std::string time;
};

// "Another installation" refuses a copy started while another held the lock:
// when that copy is the run before, it is that run that decided the upgrade.
bool RefusedDuring(const Run& copy, const Run& holder) {
    if (copy.refusal != kAnotherInstance) return false;
    if (copy.firstSeconds < 0 || holder.firstSeconds < 0 || holder.lastSeconds < 0)
        return copy.alongside == holder.number;
    return copy.firstSeconds >= holder.firstSeconds && copy.firstSeconds <= holder.lastSeconds;
}

const char* Verdict(const Run& run) {
    if (Upgraded(run)) return "upgraded";
    if (run.refusal != kNoRefusal && !run.ended) return "refused, ended without its last line";
    return run.refusal != kNoRefusal || run.fixedUp ? "refused" : "no outcome";
}

}  // namespace

int ReadLog(std::istream& in, LogMode mode, std::ostream& out, std::ostream& notes, std::string& error) {
    LogText lines(in);
    // Until a line of the log's format is found, a bounded read: a file
    // without line ends (or /dev/zero) is not read to its end.
    lines.BoundTo(kRecognitionWindow + 4 * kMaxLineUnits);
    std::string text;
    LogLine line;
    bool recognised = false;
    std::vector<std::string> held;  // text mode: lines ahead of the first log line
    size_t passedOver = 0;

    size_t runCount = 0;
    Run decisive;
    std::vector<RefusedCopy> refusedCopies;  // after the decisive run, a few at most
    size_t refusedCount = 0;
    RunGrouper grouper([&](const Run& run) {
        ++runCount;
        if (mode == LogMode::Runs) TellRun(out, run);
        if (runCount > 1 && RefusedDuring(run, decisive)) {
            if (refusedCopies.size() < 4) refusedCopies.push_back({run.number, run.pid, run.firstTime});
            ++refusedCount;
            return;
        }
        decisive = run;
        refusedCopies.clear();
        refusedCount = 0;
    });

    std::string firstLine;
    while (lines.Next(text)) {
        if (lines.endedLines <= 1 && firstLine.empty()) firstLine = text.substr(0, 2);
        const bool isLog = ParseLogLine(text, line);
        if (!recognised) {
            if (!isLog) {
                if (lines.BytesRead() > kRecognitionWindow) break;
                if (mode == LogMode::Text) held.push_back(text);
                ++passedOver;
                continue;
            }
            recognised = true;
            lines.BoundTo(0);
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
    if (mode == LogMode::LastRun) TellRun(out, decisive);
    if (mode != LogMode::Text) {
        out << Plural(static_cast<long long>(runCount), "run") << " in the log; the "
            << (refusedCount == 0 ? "last" : "last to decide") << ", run " << decisive.number << " (pid "
            << decisive.pid << ", " << (decisive.firstTime.empty() ? "time not logged" : decisive.firstTime)
            << "): " << Verdict(decisive) << "\n";
        for (const RefusedCopy& copy : refusedCopies)
            out << "run " << copy.number << " (pid " << copy.pid << ", "
                << (copy.time.empty() ? "time not logged" : copy.time)
                << "): a second copy started meanwhile, refused as \"Another installation\"; it changed nothing\n";
        if (refusedCount > refusedCopies.size())
            out << "and " << refusedCount - refusedCopies.size()
                << (refusedCount - refusedCopies.size() == 1 ? " more copy" : " more copies") << " refused alike\n";
    }
    if (lines.encoding == Encoding::Utf8)
        said << "note: the file is UTF-8, not the UTF-16LE the unpacker writes: a copy (converted by `upkpack log "
                "--text`, an editor or a mail program), read as it stands\n";
    if (lines.encoding == Encoding::Utf16Be)
        said << "note: the file is UTF-16 big-endian, not the UTF-16LE the unpacker writes: a converted copy, read "
                "as it stands\n";
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
    return Upgraded(decisive) ? kUpgraded : kNotUpgraded;
}

}  // namespace unpacklog
