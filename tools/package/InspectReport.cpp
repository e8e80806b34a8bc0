// What inspect concludes about a packaged file: the walk, each cabinet, the
// stub's build, versions and signature, the file's Authenticode digest, and the
// verdicts, gathered once for both of inspect's views.
#include "tools/package/PackageInspector.h"

#include <fstream>

namespace package {

StubBuild BuildOf(const PeFacts& facts) {
    constexpr uint16_t kI386 = 0x14C, kAmd64 = 0x8664;
    if (!facts.is64Bit && facts.machine == kI386) return StubBuild::Release32;
    if (facts.is64Bit && facts.machine == kAmd64) return StubBuild::Rehearsal64;
    return StubBuild::Other;
}

bool InspectReport::Passed() const {
    for (const Verdict& verdict : verdicts)
        if (verdict.failing) return false;
    return true;
}

namespace {

void AddStub(InspectReport& report, const InspectOptions& options) {
    std::ifstream file(report.path, std::ios::binary);
    std::string problem;
    if (!file || !ReadPeFacts(file, report.layout.fileLength, report.stub, problem)) return;
    report.hasStub = true;
    report.version = ReadStubVersion(file, report.stub);
    report.signature = CheckSignature(file, report.stub);
    const SignatureCheck& sig = report.signature;
    // A SHA-256 signature has just hashed the file the same way.
    report.authenticodeSha256 = sig.state == SignatureCheck::State::Checked && sig.digestAlgorithm == "SHA-256"
                                    ? sig.fileDigest
                                    : AuthenticodeSha256(file, report.stub);

    if (BuildOf(report.stub) != StubBuild::Release32)
        report.verdicts.push_back({"build", false,
                                   BuildOf(report.stub) == StubBuild::Rehearsal64
                                       ? "the stub is the x86-64 rehearsal build, not the 32-bit build that ships"
                                       : "the stub is neither build of UnPackFile.exe (not a 32-bit i386 image)"});
    switch (sig.state) {
    case SignatureCheck::State::None:
        report.verdicts.push_back(
            {"unsigned", options.requireSigned,
             options.requireSigned ? "the file is unsigned, and --require-signed asks for a signed release"
                                   : "the file is unsigned: sign it before it ships (--require-signed refuses it)"});
        break;
    case SignatureCheck::State::Malformed:
        report.verdicts.push_back({"signature", true, "the signature cannot be read: " + sig.problem});
        break;
    case SignatureCheck::State::Checked:
        if (!sig.DigestMatches())
            report.verdicts.push_back({"signature", true,
                                       "the file's Authenticode digest does not match its signature: the file was "
                                       "changed after signing"});
        else if (!sig.signerSignatureValid)
            report.verdicts.push_back(
                {"signature", true, "the signer's signature over the Authenticode digest does not verify"});
        break;
    }
}

}  // namespace

InspectReport InspectFile(const std::string& path, const InspectOptions& options) {
    InspectReport report;
    report.path = path;
    report.packageSound = InspectPackage(path, report.layout);
    if (!report.packageSound) report.verdicts.push_back({"package", true, report.layout.problem});

    // The install step's expand reads each .cab entry: the same check as pack's,
    // names included.
    CheckEntryCabinets(path, report.layout);
    if (report.packageSound) {
        const std::vector<InspectedEntry>& entries = report.layout.entries;
        bool anyCabinet = false;
        for (size_t i = 0; i < entries.size(); ++i) {
            anyCabinet = anyCabinet || entries[i].isCabinet;
            if (entries[i].isCabinet && !entries[i].cabinet.ok)
                report.verdicts.push_back({"cabinet", true,
                                           "entry " + std::to_string(i + 1) + " '" + entries[i].name +
                                               "': expand.exe would fail on this cabinet: " + entries[i].cabinet.reason});
        }
        for (const CabinetNameVerdict& v : report.layout.cabinetNames)
            report.verdicts.push_back({"names", true,
                                       "entry " + std::to_string(v.entry) + " '" + entries[v.entry - 1].name +
                                           "': its file '" + v.name + "': " + v.reason});
        if (!anyCabinet) report.verdicts.push_back({"cabinet", true, "no .cab entry: nothing would be installed"});
    }
    if (report.layout.hasHeaders) AddStub(report, options);
    return report;
}

}  // namespace package
