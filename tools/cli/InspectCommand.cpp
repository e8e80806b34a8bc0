// upkpack inspect (alias verify): prints the layout and checks the package, then
// shows the stub's versions and checks its signature against the file.
#include "tools/cli/Commands.h"
#include "tools/cabinet/CabinetCheck.h"
#include "tools/package/PackageInspector.h"
#include "tools/signature/Signature.h"
#include "tools/package/VersionBlock.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace upkpack {

namespace {

// The install step's expand reads each .cab entry; the same check as pack's.
struct EntryCabinet {
    bool isCabinet = false;
    package::CabinetCheck check;
};

void PrintCabinet(const EntryCabinet& c) {
    if (!c.isCabinet) return;
    if (!c.check.ok)
        std::printf("                   cabinet: expand.exe would fail on it: %s\n", c.check.reason.c_str());
    else
        std::printf("                   cabinet: %zu file(s), every one expands\n", c.check.files.size());
    for (const package::CabinetFile& f : c.check.files)
        std::printf("                     %s (%" PRIu64 " bytes)%s%s\n", f.name.c_str(), f.size,
                    f.refusal.empty() ? "" : "; extract --expand passes over it: ", f.refusal.c_str());
}

void PrintLayout(const std::string& path, const package::Inspection& r, const std::vector<EntryCabinet>& cabinets) {
    std::printf("file:              %s (%" PRIu64 " bytes)\n", path.c_str(), r.fileLength);
    if (!r.hasHeaders) return;
    std::printf("image end:         %" PRIu64 "\n", r.imageEnd);
    if (!r.hasTrailer) return;
    std::printf("header offset:     %" PRIu64 "\n", r.headerOffset);
    for (size_t i = 0; i < r.entries.size(); ++i) {
        const package::InspectedEntry& e = r.entries[i];
        std::printf("entry %zu:           record %" PRIu64 ", data %" PRIu64 ", size %" PRIu64 ", name %s\n", i + 1,
                    e.recordOffset, e.dataOffset, e.size, e.name.c_str());
        std::printf("                   sha-256 %s\n", e.sha256.c_str());
        if (!e.refusal.empty()) std::printf("                   not written by the unpacker: %s\n", e.refusal.c_str());
        PrintCabinet(cabinets[i]);
    }
    if (r.hasFiller) std::printf("filler:            %" PRIu64 " (%" PRIu64 " bytes)\n", r.fillerOffset, r.fillerLength);
    std::printf("trailer:           %" PRIu64 " (ends at %" PRIu64 ")\n", r.trailerOffset, r.trailerOffset + 284);
    if (r.certificateLength == 0)
        std::printf("certificate table: none\n");
    else
        std::printf("certificate table: %" PRIu32 " (%" PRIu32 " bytes)\n", r.certificateOffset, r.certificateLength);
    if (!r.sha256.empty()) std::printf("sha-256:           %s\n", r.sha256.c_str());
}

// The stub's versions and the signature. False, with the reason, when the
// signature cannot be read or does not match the file.
bool PrintStub(const std::string& path, uint64_t fileLength, std::string& problem) {
    std::ifstream file(path, std::ios::binary);
    package::PeFacts facts;
    if (!file || !package::ReadPeFacts(file, fileLength, facts, problem)) return false;
    const package::StubVersion version = package::ReadStubVersion(file, facts);
    if (version.found) {
        std::printf("product version:   %s (the upgrade compares this with the installed version)\n",
                    version.product.c_str());
        std::printf("file version:      %s\n", version.file.c_str());
    } else {
        std::printf("version block:     none: %s\n", version.missing.c_str());
    }
    using State = package::SignatureCheck::State;
    const package::SignatureCheck sig = package::CheckSignature(file, facts);
    switch (sig.state) {
    case State::None: std::printf("signature:         none\n"); return true;
    case State::Malformed:
        std::printf("signature:         unreadable\n");
        problem = "the signature cannot be read: " + sig.problem;
        return false;
    case State::Checked: break;
    }
    std::printf("signer:            %s\n", sig.subject.c_str());
    std::printf("signer valid:      %s to %s\n", sig.notBefore.c_str(), sig.notAfter.c_str());
    std::printf("signed digest:     %s %s\n", sig.digestAlgorithm.c_str(), sig.signedDigest.c_str());
    std::printf("file digest:       %s %s (%s)\n", sig.digestAlgorithm.c_str(), sig.fileDigest.c_str(),
                sig.DigestMatches() ? "matches" : "DOES NOT MATCH");
    std::printf("signer's signature over the digest: %s\n", sig.signerSignatureValid ? "valid" : "INVALID");
    std::printf("not checked here:  the certificate chain and revocation (run osslsigncode verify)\n");
    if (!sig.DigestMatches())
        problem = "the file's Authenticode digest does not match its signature: the file was changed after signing";
    else if (!sig.signerSignatureValid)
        problem = "the signer's signature over the Authenticode digest does not verify";
    return problem.empty();
}

int Inspect(const std::string& path) {
    package::Inspection result;
    bool sound = package::InspectPackage(path, result);
    std::vector<EntryCabinet> cabinets(result.entries.size());
    std::string cabinetProblem;
    bool anyCabinet = false;
    for (size_t i = 0; i < result.entries.size(); ++i) {
        const package::InspectedEntry& e = result.entries[i];
        if (!package::IsCabinetName(e.name)) continue;
        cabinets[i] = {true, package::CheckCabinet(path, e.dataOffset, e.size)};
        anyCabinet = true;
        if (!cabinets[i].check.ok && cabinetProblem.empty())
            cabinetProblem = "entry " + std::to_string(i + 1) + " '" + e.name +
                             "': expand.exe would fail on this cabinet: " + cabinets[i].check.reason;
    }
    if (!anyCabinet) cabinetProblem = "no .cab entry: nothing would be installed";
    PrintLayout(path, result, cabinets);
    std::string stubProblem;
    const bool stubSound = !result.hasHeaders || PrintStub(path, result.fileLength, stubProblem);
    if (!sound || !cabinetProblem.empty() || !stubSound) {
        std::fflush(stdout);
        if (!sound || !cabinetProblem.empty())
            std::fprintf(stderr, "upkpack: %s: %s\n", path.c_str(), (sound ? cabinetProblem : result.problem).c_str());
        if (!stubSound) std::fprintf(stderr, "upkpack: %s: %s\n", path.c_str(), stubProblem.c_str());
        return kExitFailure;
    }
    std::printf("OK: the unpacker extracts exactly the packed entries (%zu)\n", result.entries.size());
    return kExitOk;
}

}  // namespace

Command AddInspect(CLI::App& upkpack) {
    auto path = std::make_shared<std::string>();
    CLI::App* app = upkpack.add_subcommand(
        "inspect",
        "Prints the package's layout and checks that UnPackFile.exe would extract exactly the packed\n"
        "entries, signed or unsigned; shows the stub's product and file versions and, when the file is\n"
        "signed, the signer and whether the signed digest matches the file's bytes (the certificate chain\n"
        "and revocation are left to osslsigncode verify).");
    app->alias("verify");
    app->add_option("FILE", *path, "the packaged file")->required();
    return {app, [path] { return Inspect(*path); }};
}

}  // namespace upkpack
