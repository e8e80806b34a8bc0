// Grouping lines into runs, what each line tells about its run, and how a
// refusal or an outcome is classified.
#include "tools/log/LogTypes.h"

namespace unpacklog {
namespace {

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

bool AcceptedInstallerCode(long long code) { return code == 0 || code == 1066; }

}  // namespace

bool Upgraded(const Run& run) {
    return run.refusal == kNoRefusal && !run.fixedUp && run.started && run.commandCodes.size() >= 4 &&
           run.commandCodes[1] == 0 && AcceptedInstallerCode(run.commandCodes[2]) &&
           AcceptedInstallerCode(run.commandCodes[3]);
}

Outcome OutcomeOf(const Run& run) {
    if (Upgraded(run)) return Outcome::Upgraded;
    // A refusal decided the run even when the library failed during the fix-up after it.
    if (run.refusal != kNoRefusal || run.fixedUp) return Outcome::Refused;
    return run.libraryFailure.empty() ? Outcome::None : Outcome::Failed;
}

namespace {

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

void ApplyDriverLine(Run& run, const std::string& message, int64_t seconds) {
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
        run.refusal = refusal == kUnpackFailed && run.checked != kNoRefusal ? run.checked : refusal;
        run.refusalLine = message;
        run.refusalSeconds = seconds;
        if (refusal == kNotNewer) {
            run.installedKnown = run.packageKnown = true;
            SplitAround(message, 13, " less than ", run.package, run.installed);
        } else if (refusal == kVersionBound) {
            run.installedKnown = true;
            SplitAround(message, 13, " less than boundary ", run.installed, run.bound);
        }
    }
}

// FNV-1a, over every field of the line.
void Fingerprint(uint64_t& hash, const LogLine& line) {
    auto add = [&hash](const char* bytes, size_t length) {
        for (size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ULL;
        hash = (hash ^ 0xFFu) * 1099511628211ULL;  // a byte no UTF-8 text holds, between fields
    };
    const long long numbers[] = {line.pid, line.seconds, line.complete ? 1 : 0};
    add(reinterpret_cast<const char*>(numbers), sizeof(numbers));
    add(line.caller.data(), line.caller.size());
    add(line.message.data(), line.message.size());
}

void ApplyLine(Run& run, const LogLine& line) {
    if (run.lines == 0) run.fingerprint = 14695981039346656037ULL;
    Fingerprint(run.fingerprint, line);
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
    if (IsLibraryFailureCaller(line.caller)) {
        // The unpacker ends here (exit code 3): nothing after this line is of this run.
        run.libraryFailure = "[" + line.caller + "] " + message;
        run.ended = true;
    } else if (line.caller == kDriver) {
        ApplyDriverLine(run, message, line.seconds);
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
    } else if (line.caller == "CUnPack::CheckPackage") {
        if (StartsWith(message, "Package damaged: ")) run.checked = kPackageDamaged;
        if (StartsWith(message, "Package format ")) run.checked = kPackageFormat;
        run.trouble = message;
    } else if (line.caller == "CUnPack::GetUnPackPath" && !StartsWith(message, "upgrade ")) {
        run.trouble = message;  // why the unpack folder in the temporary folder was refused
    } else if (line.caller == "CUtility::FileException") {
        run.trouble = message;
    } else if (line.caller == "CUnPackFileApp::ExecuteCommand") {
        if (StartsWith(message, "fail "))
            run.commandCodes.push_back(LeadingNumber(message.substr(5)));
        else if (StartsWith(message, "pid:") && message.find(" finish ecode:") != std::string::npos)
            run.commandCodes.push_back(LeadingNumber(message.substr(message.find(" finish ecode:") + 14)));
        if (run.commandCodes.size() == 4 && Upgraded(run)) run.ended = true;
    } else if (line.caller == "CUnPackFileApp::HackForNDUSilentInstallFail") {
        if (StartsWith(message, "upgrade skip, hack platform ")) {
            run.fixedUp = true;
            run.fixUpSeconds = line.seconds;
        }
        if (message == "autoinstaller prepare to exit") run.ended = true;
    }
}

}  // namespace

void RunGrouper::Add(const LogLine& line) {
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
        // The same id again after a first line, far apart or with the time going
        // backwards: a new run of a reused id, whose predecessor lost its end.
        const int64_t last = pending->run.lastSeconds;
        if (OpensRun(line) || FarApart(line.seconds, last) || (line.seconds >= 0 && line.seconds < last)) {
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

void RunGrouper::Finish() {
    while (!open_.empty()) Close(open_.begin()->first);
    Drain();
}

bool RunGrouper::FarApart(int64_t a, int64_t b) {
    return a >= 0 && b >= 0 && (a - b > kRunGapSeconds || b - a > kRunGapSeconds);
}

RunGrouper::Pending* RunGrouper::Start(const LogLine& line) {
    Pending pending;
    pending.run.number = first_ + runs_.size() + 1;
    pending.run.pid = line.pid;
    pending.run.beganMidway = !OpensRun(line);
    pending.firstLine = lineNumber_;
    runs_.push_back(pending);
    open_[line.pid] = first_ + runs_.size() - 1;
    return &runs_.back();
}

void RunGrouper::Close(long long pid) {
    auto open = open_.find(pid);
    if (open == open_.end()) return;
    runs_[open->second - first_].open = false;
    open_.erase(open);
}

// Whether two runs' time spans overlap; without times, only the lines can tell.
bool RunGrouper::SpansOverlap(const Run& a, const Run& b) {
    if (a.firstSeconds < 0 || a.lastSeconds < 0 || b.firstSeconds < 0 || b.lastSeconds < 0) return true;
    return a.firstSeconds <= b.lastSeconds && b.firstSeconds <= a.lastSeconds;
}

// Hands on the closed runs at the front, so that the order stays that of
// the starts. A run that started before the front's last line and whose time
// span overlaps the front's ran at the same time as it: their lines are
// interleaved. Runs one after the other are not concurrent, however their
// lines fall in the file.
void RunGrouper::Drain() {
    while (!runs_.empty() && !runs_.front().open) {
        Run& run = runs_.front().run;
        for (size_t i = 1; i < runs_.size(); ++i) {
            Run& later = runs_[i].run;
            if (runs_[i].firstLine > runs_.front().lastLine) break;
            if (!SpansOverlap(run, later)) continue;
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

}  // namespace unpacklog
