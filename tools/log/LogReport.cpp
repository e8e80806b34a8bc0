// The facts of a run, and its two views: a few fields of text for people, one
// JSON object for programs.
#include "tools/log/LogReader.h"
#include "tools/log/LogTypes.h"

#include <nlohmann/json.hpp>

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

std::string LastStep(const std::vector<std::string>& steps) {
    return steps.empty() ? std::string("its first lines") : "\"" + steps.back() + "\"";
}

// The C++ library's failure ended the run where it stood (exit code 3): no
// refusal, no fix-up, no cleanup.
std::string LibraryFailureMeaning(const Run& run, const std::vector<std::string>& steps) {
    const bool memory = StartsWith(run.libraryFailure, "[operator new] ");
    std::string text = memory ? "the unpacker ran out of memory after " + LastStep(steps) + " and ended at once"
                              : "the C++ library refused the unpacker a request (a fault in the unpacker) after " +
                                    LastStep(steps) + ", and the unpacker ended at once";
    text += ": no refusal, no fix-up, nothing after that step ran";
    if (run.hostProgramsStopped > 0 && run.commandCodes.size() < 4)
        text += "; the host's programs it stopped were not started again";
    return text + (memory ? ". Run the package again once the machine has memory to spare (close programs, check the "
                            "page file); if it ends so again, send this log and the package to development"
                          : ". Send this log and the package to development; run again, it will most likely end "
                            "the same way");
}

// The outcome, then what explains it.
void AddOutcome(RunFacts& facts) {
    const Run& run = *facts.run;
    std::vector<ReportField>& fields = facts.fields;
    switch (facts.outcome) {
    case Outcome::Upgraded:
        fields.push_back({"outcome:",
                          "upgraded (installer exit codes: expand.exe " + std::to_string(run.commandCodes[1]) +
                              ", VYAuto.exe -i " + std::to_string(run.commandCodes[2]) + ", VYAuto.exe -r " +
                              std::to_string(run.commandCodes[3]) + ")"});
        return;
    case Outcome::Failed:
        fields.push_back({"outcome:", "ended by the C++ library's failure (exit code 3): \"" +
                                          Shown(run.libraryFailure) + "\""});
        fields.push_back({"meaning:", LibraryFailureMeaning(run, facts.steps), true});
        break;
    case Outcome::Refused:
        if (run.refusal == kNoRefusal) {
            fields.push_back({"outcome:",
                              "refused, but the line that says why is missing (lost while a second copy wrote to "
                              "the log?); the updater fix-up ran",
                              true});
            break;
        }
        fields.push_back({"outcome:", "refused: " + Shown(run.refusalLine)});
        fields.push_back({"meaning:", kMeaning[run.refusal], true});
        // After a refusal the fix-up writes "autoinstaller prepare to exit"; in
        // manual mode it runs only once the refusal's message box is closed.
        if (!run.libraryFailure.empty())
            fields.push_back({"ended:", "by the C++ library's failure (exit code 3) before its last line: \"" +
                                            Shown(run.libraryFailure) + "\"", false, true});
        else if (!run.ended)
            fields.push_back({"ended:",
                              "without its last line (\"autoinstaller prepare to exit\"): the unpacker was ended "
                              "before it finished, such as killed while its message box waited in manual mode, or "
                              "the log was copied meanwhile",
                              true, true});
        break;
    case Outcome::None:
        fields.push_back({"outcome:",
                          "none in the log: its lines stop after " + LastStep(facts.steps) +
                              "; the unpacker was ended, is still running, or its last lines were lost",
                          true});
        break;
    }
    if (!run.trouble.empty()) fields.push_back({"cause:", Shown(run.trouble)});
    if (!run.cutLine.empty())
        fields.push_back({"cut off:", "a line ends early: \"" + Shown(run.cutLine) + "\"", false, true});
}

// The mode is logged only once the upgrade starts. Before, manual mode shows
// the refusal's message box and runs the fix-up once it is closed; auto mode
// runs the fix-up at once.
void AddMode(RunFacts& facts) {
    const Run& run = *facts.run;
    if (!run.mode.empty()) {
        facts.mode = run.mode;
        facts.modeLogged = true;
        facts.modeText = Shown(run.mode);
    } else if (run.refusal != kNoRefusal && run.refusalSeconds >= 0 && run.fixUpSeconds >= 0) {
        const int64_t wait = run.fixUpSeconds - run.refusalSeconds;
        facts.mode = wait >= 2 ? "manual" : "auto";
        facts.modeText = wait >= 2 ? "manual (not logged: its message box held the run " + std::to_string(wait) +
                                         " s before the fix-up)"
                                   : "auto, probably (not logged: the fix-up followed within a second, where manual "
                                     "mode's message box waits for a click)";
    } else if (run.refusal != kNoRefusal) {
        facts.modeText = "not logged (the unpacker logs its mode when the upgrade starts)";
    }
}

// An upgrade does not log the package's version; the next run that does tell
// the installed version shows what it installed.
void AddPackage(RunFacts& facts) {
    const Run& run = *facts.run;
    if (run.packageKnown) {
        facts.package = run.package;
        facts.packageLogged = true;
        facts.packageText = Version(run.package);
    } else if (facts.outcome == Outcome::Upgraded && run.installedAfterRun != 0) {
        facts.package = run.installedAfter;
        facts.packageText = Version(run.installedAfter) + " (not logged by an upgrade: installed as run " +
                            std::to_string(run.installedAfterRun) + " found it)";
    } else if (facts.outcome == Outcome::Upgraded) {
        facts.packageText = "not logged by an upgrade, and no later run tells what it installed";
    }
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

// Keys of the refusal table's rows in JSON, and their log lines in the summary.
const char* const kRefusalKeys[] = {"another-installation", "not-newer",      "os-bound",      "version-bound",
                                    "path-missing",         "unpack-failed",  "package-damaged", "package-format",  "expand-failed",
                                    "install-failed",       "launch-failed",  "line-missing"};
const char* const kRefusalLines[] = {
    "upgrade skip Another installation is in progress. ...",
    "upgrade skip <package> less than <installed>",
    "upgrade skip OS less than the boundary <bound>",
    "upgrade skip <installed> less than boundary <bound>",
    "upgrade skip path not exist <folder>",
    "upgrade skip unpack not success",
    "upgrade skip unpack not success after Package damaged: ...",
    "upgrade skip unpack not success after Package format <n> is not known ...",
    "upgrade skip expand err<code>",
    "upgrade skip install service err<code>",
    "upgrade skip launch service err<code>",
    "(the line that says why is missing)",
};
static_assert(sizeof(kRefusalKeys) / sizeof(*kRefusalKeys) == kRefusalRows, "a key for each row");
static_assert(sizeof(kRefusalLines) / sizeof(*kRefusalLines) == kRefusalRows, "a line for each row");
static_assert(kRefusalCount + 1 == kRefusalRows, "the table's rows and one for a missing line");

const char* const kOutcomeKeys[] = {"upgraded", "refused", "failed", "none"};

}  // namespace

std::string Plural(long long count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

const char* RefusalKey(int row) { return kRefusalKeys[row]; }
const char* RefusalRowLine(int row) { return kRefusalLines[row]; }

RunFacts FactsOf(const Run& run, size_t repeatOf) {
    RunFacts facts;
    facts.run = &run;
    facts.outcome = OutcomeOf(run);
    if (facts.outcome == Outcome::Refused) facts.refusalRow = run.refusal;  // kNoRefusal: the line is missing
    facts.steps = Steps(run);
    facts.repeatOf = repeatOf;
    AddMode(facts);
    AddPackage(facts);
    if (run.beganMidway)
        facts.fields.push_back({"begins:", "in the middle: its first lines are not in the log", false, true});
    if (run.alongside != 0)
        facts.fields.push_back({"alongside:",
                                "run " + std::to_string(run.alongside) + " (pid " + std::to_string(run.alongsidePid) +
                                    ") ran at the same time; their lines are interleaved",
                                true, true});
    if (repeatOf != 0)
        facts.fields.push_back({"repeats:",
                                "run " + std::to_string(repeatOf) +
                                    " (the same lines, pid and times): the log holds this run twice, joined with a "
                                    "copy of itself",
                                true, true});
    AddOutcome(facts);
    return facts;
}

void TellRun(std::ostream& out, const RunFacts& facts) {
    const Run& run = *facts.run;
    out << "run " << run.number << ": pid " << run.pid << ", " << TimeSpan(run) << " (" << Plural(run.lines, "line")
        << ")\n";
    size_t field = 0;
    for (; field < facts.fields.size() && facts.fields[field].label != std::string("outcome:"); ++field)
        Field(out, facts.fields[field].label, facts.fields[field].text, facts.fields[field].wrap);
    std::string steps;
    for (const std::string& step : facts.steps) steps += (steps.empty() ? "" : ", ") + step;
    Field(out, "steps:", steps.empty() ? "none of the upgrade's steps" : steps, true);
    if (!facts.modeText.empty()) Field(out, "mode:", facts.modeText, !facts.modeLogged);
    if (run.installedKnown)
        Field(out, "installed:",
              Version(run.installed) + (run.bound.empty() ? "" : " (lower bound " + Shown(run.bound) + ")"));
    if (!facts.packageText.empty()) Field(out, "package:", facts.packageText, !facts.packageLogged);
    if (!run.os.empty()) Field(out, "OS:", DescribeOs(run.os));
    for (; field < facts.fields.size(); ++field)
        Field(out, facts.fields[field].label, facts.fields[field].text, facts.fields[field].wrap);
    out << "\n";
}

void WriteRunJson(std::ostream& out, const RunFacts& facts, const std::string& file) {
    using Json = nlohmann::ordered_json;
    const Run& run = *facts.run;
    auto text = [](const std::string& value) { return value.empty() ? Json() : Json(value); };
    Json record;
    record["file"] = file;
    record["run"] = run.number;
    record["pid"] = run.pid;
    record["start"] = text(run.firstTime);
    record["end"] = text(run.lastTime);
    record["lines"] = run.lines;
    record["steps"] = facts.steps;
    record["mode"] = text(facts.mode);
    record["mode_logged"] = facts.modeLogged;
    record["installed"] = run.installedKnown ? Json(run.installed) : Json();
    record["bound"] = text(run.bound);
    record["package"] = facts.package.empty() && !facts.packageLogged ? Json() : Json(facts.package);
    record["package_logged"] = facts.packageLogged;
    record["os"] = text(run.os);
    record["outcome"] = kOutcomeKeys[static_cast<int>(facts.outcome)];
    record["refusal"] = facts.refusalRow < 0 ? Json() : Json(kRefusalKeys[facts.refusalRow]);
    record["refusal_line"] = text(run.refusalLine);
    record["library_failure"] = text(run.libraryFailure);
    record["installer_exit_codes"] = run.commandCodes;
    record["cause"] = text(run.trouble);
    record["repeats"] = facts.repeatOf == 0 ? Json() : Json(facts.repeatOf);
    Json notes = Json::array();
    for (const ReportField& field : facts.fields)
        if (field.note) notes.push_back(field.text);
    record["notes"] = notes;
    // The log's text is valid UTF-8 as decoded; replace, never throw, should it not be.
    out << record.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

std::string Verdict(const Run& run) {
    switch (OutcomeOf(run)) {
    case Outcome::Upgraded:
        return "upgraded";
    case Outcome::Failed:
        return "ended by the C++ library's failure";
    case Outcome::Refused:
        return run.refusal != kNoRefusal && !run.ended ? "refused, ended without its last line" : "refused";
    case Outcome::None:
        break;
    }
    return "no outcome";
}

}  // namespace unpacklog
