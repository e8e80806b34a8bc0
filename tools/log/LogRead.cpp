// ReadLog, which drives the decoder, the parser, the grouper and the report of
// one file, and what the file as a whole shows: the run that decided, by time;
// runs it holds twice; whether its order and its runs' times agree; its notes.
// And the summary of several files.
#include "tools/log/LogReader.h"
#include "tools/log/LogTypes.h"

#include <deque>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace unpacklog {
namespace {

// An upgrade waits for a later run to tell what it installed, with the runs
// between, at most this many.
constexpr size_t kMaxHeldRuns = 16;
// Runs remembered to tell a run held twice: a few megabytes at most, and more
// runs than a log of 200 MB holds.
constexpr size_t kMaxRememberedRuns = 1 << 16;
// Two copies stamp their lines and then write them: a line may land after
// one stamped a second later. Only more than this is the order disagreeing.
constexpr int64_t kClockSlackSeconds = 2;

// A refused second copy: the copy that held the lock was running then.
struct RefusedCopy {
    size_t number;
    long long pid;
    std::string time;
};

// "Another installation" refuses a copy started while another held the lock:
// it is that other run that decided the upgrade.
bool RefusedDuring(const Run& copy, const Run& holder) {
    if (copy.refusal != kAnotherInstance) return false;
    if (copy.firstSeconds < 0 || holder.firstSeconds < 0 || holder.lastSeconds < 0)
        return copy.alongside == holder.number;
    return copy.firstSeconds >= holder.firstSeconds && copy.firstSeconds <= holder.lastSeconds;
}

std::string TimeOr(const std::string& time) { return time.empty() ? "time not logged" : time; }

class FileReport {
public:
    FileReport(const LogOptions& options, std::ostream& out) : options_(options), out_(out) {}

    void Accept(const Run& run) {
        held_.push_back(run);
        Settle(false);
    }

    void Finish() {
        Settle(true);
        if (options_.mode == LogMode::LastRun && decided_) Tell(decisive_, decisiveRepeat_);
        tally.decided = decided_;
        tally.decidedUpgraded = Upgraded();
        tally.verdict = decided_ ? Verdict(decisive_) : std::string();
        tally.twice = twice_;
    }

    void TellSummary(std::ostream& out) const {
        out << Plural(static_cast<long long>(runs_), "run") << " in the log";
        if (options_.filter.Any())
            out << ", " << (chosen_ == 0 ? std::string("none") : std::to_string(chosen_)) << " of them chosen by "
                << "--since, --until and --outcome";
        if (!decided_) {
            out << "\n";
            return;
        }
        out << "; the " << (refusedCount_ == 0 ? "last" : "last to decide") << (disorder_.empty() ? "" : " by time")
            << ", run " << decisive_.number << " (pid " << decisive_.pid << ", " << TimeOr(decisive_.firstTime)
            << "): " << Verdict(decisive_) << "\n";
        for (const RefusedCopy& copy : refusedCopies_)
            out << "run " << copy.number << " (pid " << copy.pid << ", " << TimeOr(copy.time)
                << "): a second copy started meanwhile, refused as \"Another installation\"; it changed nothing\n";
        if (refusedCount_ > refusedCopies_.size())
            out << "and " << refusedCount_ - refusedCopies_.size()
                << (refusedCount_ - refusedCopies_.size() == 1 ? " more copy" : " more copies") << " refused alike\n";
    }

    void TellNotes(std::ostream& said, const std::string& prefix) const {
        if (!disorder_.empty())
            said << prefix << "note: the file's order and the runs' times disagree: " << disorder_
                 << " (logs joined out of order, or the clock set back); the run that decided is chosen by time\n";
        if (twice_ > 0)
            said << prefix << "note: " << Plural(static_cast<long long>(twice_), "run")
                 << (twice_ == 1 ? " appears" : " appear")
                 << " twice, with the same lines, pid and times: the log was joined with a copy of itself\n";
    }

    bool Upgraded() const { return decided_ && unpacklog::Upgraded(decisive_); }

    LogTally tally;

private:
    // An upgrade's package version comes from the next run that tells the
    // installed version, when that run started after the upgrade ended.
    void Settle(bool finishing) {
        while (!held_.empty()) {
            Run& front = held_.front();
            if (!finishing && held_.size() <= kMaxHeldRuns && unpacklog::Upgraded(front) && !front.packageKnown) {
                size_t next = 1;
                while (next < held_.size() && !held_[next].installedKnown) ++next;
                if (next == held_.size()) return;
                if (front.lastSeconds >= 0 && held_[next].firstSeconds >= front.lastSeconds) {
                    front.installedAfter = held_[next].installed;
                    front.installedAfterRun = held_[next].number;
                }
            }
            Report(front);
            held_.pop_front();
        }
    }

    void Report(const Run& run) {
        ++runs_;
        size_t repeatOf = 0;
        auto seen = seen_.find(run.fingerprint);
        if (seen != seen_.end())
            repeatOf = seen->second;
        else if (seen_.size() < kMaxRememberedRuns)
            seen_.emplace(run.fingerprint, run.number);
        if (repeatOf != 0) ++twice_;
        // A run without a time stands where it is in the file, at the time of the run before it.
        const int64_t at = run.firstSeconds >= 0 ? run.firstSeconds : lastAt_;
        lastAt_ = at;
        if (repeatOf == 0 && run.firstSeconds >= 0) {
            if (disorder_.empty() && latestSeconds_ >= 0 && run.firstSeconds + kClockSlackSeconds < latestSeconds_)
                disorder_ = "run " + std::to_string(run.number) + " (" + run.firstTime + ") follows " + latest_;
            if (run.firstSeconds > latestSeconds_) {
                latestSeconds_ = run.firstSeconds;
                latest_ = "run " + std::to_string(run.number) + " (" + run.firstTime + ")";
            }
        }
        if (!Chosen(run)) return;
        ++chosen_;
        if (repeatOf == 0) Count(run);
        if (options_.mode == LogMode::Runs) Tell(run, repeatOf);
        Decide(run, at, repeatOf);
    }

    bool Chosen(const Run& run) const {
        const RunFilter& filter = options_.filter;
        if ((filter.since >= 0 || filter.until >= 0) && run.firstSeconds < 0) return false;
        if (filter.since >= 0 && run.firstSeconds < filter.since) return false;
        if (filter.until >= 0 && run.firstSeconds >= filter.until) return false;
        switch (OutcomeOf(run)) {
        case Outcome::Upgraded:
            return filter.upgraded;
        case Outcome::Refused:
            return filter.refused;
        case Outcome::Failed:
            return filter.failed;
        case Outcome::None:
            break;
        }
        return filter.none;
    }

    void Count(const Run& run) {
        ++tally.runs;
        switch (OutcomeOf(run)) {
        case Outcome::Upgraded:
            ++tally.upgraded;
            break;
        case Outcome::Refused:
            ++tally.refused;
            ++tally.byRefusal[run.refusal];  // kNoRefusal: the row of a missing line
            break;
        case Outcome::Failed:
            ++tally.failed;
            break;
        case Outcome::None:
            ++tally.none;
            break;
        }
    }

    void Tell(const Run& run, size_t repeatOf) {
        const RunFacts facts = FactsOf(run, repeatOf);
        if (options_.json)
            WriteRunJson(out_, facts, options_.file);
        else
            TellRun(out_, facts);
    }

    // The latest run by time (by place for equal times) decides, unless it is
    // a copy refused while the run that decided was going.
    void Decide(const Run& run, int64_t at, size_t repeatOf) {
        if (decided_ && RefusedDuring(run, decisive_)) {
            if (refusedCopies_.size() < 4) refusedCopies_.push_back({run.number, run.pid, run.firstTime});
            ++refusedCount_;
            return;
        }
        const bool heldDuring = decided_ && RefusedDuring(decisive_, run);
        if (decided_ && !heldDuring && at < decisiveAt_) return;
        refusedCopies_.clear();
        refusedCount_ = 0;
        if (heldDuring) {
            refusedCopies_.push_back({decisive_.number, decisive_.pid, decisive_.firstTime});
            refusedCount_ = 1;
        }
        decided_ = true;
        decisive_ = run;
        decisiveAt_ = at;
        decisiveRepeat_ = repeatOf;
    }

    const LogOptions& options_;
    std::ostream& out_;
    std::deque<Run> held_;
    std::unordered_map<uint64_t, size_t> seen_;  // fingerprint -> the run's number
    size_t runs_ = 0, chosen_ = 0, twice_ = 0;
    int64_t lastAt_ = -1;
    int64_t latestSeconds_ = -1;  // the latest start so far, and its run
    std::string latest_, disorder_;

    bool decided_ = false;
    Run decisive_;
    int64_t decisiveAt_ = -1;
    size_t decisiveRepeat_ = 0;
    std::vector<RefusedCopy> refusedCopies_;  // after the decisive run, a few at most
    size_t refusedCount_ = 0;
};

const char* const kEncodingNames[] = {"UTF-16LE", "UTF-16 big-endian", "UTF-8"};

}  // namespace

int ReadLog(std::istream& in, LogMode mode, std::ostream& out, std::ostream& notes, std::string& error) {
    LogOptions options;
    options.mode = mode;
    return ReadLog(in, options, out, notes, error);
}

int ReadLog(std::istream& in, const LogOptions& options, std::ostream& out, std::ostream& notes, std::string& error,
            LogTally* tally) {
    const LogMode mode = options.mode;
    LogText lines(in);
    // Until a line of the log's format is found, a bounded read: a file
    // without line ends (or /dev/zero) is not read to its end.
    lines.BoundTo(kRecognitionWindow + 4 * kMaxLineUnits);
    std::string text;
    LogLine line;
    bool recognised = false;
    std::vector<std::string> held;  // text mode: lines ahead of the first log line
    size_t passedOver = 0;

    FileReport report(options, out);
    RunGrouper grouper([&](const Run& run) { report.Accept(run); });

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
    report.Finish();

    const bool aside = mode == LogMode::Text || options.json;
    std::ostream& said = aside ? notes : out;
    const std::string prefix = aside && options.nameInNotes ? options.file + ": " : "";
    if (mode != LogMode::Text && !options.json) report.TellSummary(out);
    if (mode != LogMode::Text) report.TellNotes(said, prefix);
    if (lines.stretches.size() > 1) {
        said << prefix << "note: the file mixes encodings: ";
        for (size_t i = 0; i < lines.stretches.size(); ++i)
            said << (i == 0 ? "" : ", then ") << kEncodingNames[static_cast<int>(lines.stretches[i])];
        said << " (a copy another program saved, with the unpacker's lines appended later); each stretch was read "
                "in its own\n";
    } else if (lines.encoding == Encoding::Utf8) {
        said << prefix
             << "note: the file is UTF-8, not the UTF-16LE the unpacker writes: a copy (converted by `upkpack log "
                "--text`, an editor or a mail program), read as it stands\n";
    } else if (lines.encoding == Encoding::Utf16Be) {
        said << prefix
             << "note: the file is UTF-16 big-endian, not the UTF-16LE the unpacker writes: a converted copy, read "
                "as it stands\n";
    }
    if (lines.byteOrderMark)
        said << prefix
             << "note: the file begins with a byte-order mark, which the unpacker never writes: another program "
                "saved it\n";
    if (lines.cutMidLine)
        said << prefix << "note: the file ends inside a line: it was cut off, or copied while being written\n";
    if (lines.oddLength)
        said << prefix
             << "note: the file has an odd number of bytes: its last byte, half a character, was passed over\n";
    if (lines.ReadFailed()) said << prefix << "note: the file could not be read to its end\n";
    if (passedOver > 0)
        said << prefix << "note: " << Plural(static_cast<long long>(passedOver), "line") << " not in the log's format "
             << (passedOver == 1 ? "was " : "were ")
             << (mode == LogMode::Text ? "converted as it stands" : "passed over") << "\n";
    if (lines.overlongLines > 0)
        said << prefix << "note: " << Plural(static_cast<long long>(lines.overlongLines), "line") << " longer than "
             << kMaxLineUnits << " characters " << (lines.overlongLines == 1 ? "was" : "were") << " cut short\n";
    if (mode == LogMode::Text) return 0;
    if (tally != nullptr) *tally = report.tally;
    return report.Upgraded() ? kUpgraded : kNotUpgraded;
}

void TellFleet(std::ostream& out, const std::vector<FileTally>& files) {
    LogTally sum;
    size_t logs = 0, upgraded = 0;
    for (const FileTally& file : files) {
        if (!file.error.empty()) continue;
        ++logs;
        const LogTally& tally = file.tally;
        sum.runs += tally.runs, sum.upgraded += tally.upgraded, sum.refused += tally.refused;
        sum.failed += tally.failed, sum.none += tally.none, sum.twice += tally.twice;
        for (size_t row = 0; row < kRefusalRows; ++row) sum.byRefusal[row] += tally.byRefusal[row];
        if (tally.decidedUpgraded) ++upgraded;
    }
    out << "summary of " << Plural(static_cast<long long>(files.size()), "file") << "\n";
    out << "  runs:      " << sum.runs << " (" << sum.upgraded << " upgraded, " << sum.refused << " refused, "
        << sum.failed << " ended by the C++ library's failure, " << sum.none << " with no outcome)";
    if (sum.twice > 0) out << "; " << sum.twice << " more that a file holds twice are not counted";
    out << "\n";
    const char* label = "  refused:   ";
    for (size_t row = 0; row < kRefusalRows; ++row) {
        if (sum.byRefusal[row] == 0) continue;
        out << label << sum.byRefusal[row] << "  " << RefusalRowLine(static_cast<int>(row)) << "\n";
        label = "             ";
    }
    out << "  decided:   upgraded in " << upgraded << " of " << Plural(static_cast<long long>(logs), "log") << "\n";
    for (const FileTally& file : files)
        if (file.error.empty() && !file.tally.decidedUpgraded)
            out << "             " << file.file << ": "
                << (file.tally.decided ? file.tally.verdict : std::string("no run chosen")) << "\n";
    label = "  no log:    ";
    for (const FileTally& file : files) {
        if (file.error.empty()) continue;
        out << label << file.file << ": " << file.error << "\n";
        label = "             ";
    }
}

}  // namespace unpacklog
