// upkpack inspect (alias verify): prints the layout and checks the package, then
// shows the stub's build and versions and checks its signature against the
// file. The findings are gathered once (package::InspectFile); the text for
// people and the JSON for programs (--json) are two views of them.
#include "tools/cli/Commands.h"
#include "tools/package/PackageInspector.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

namespace upkpack {

namespace {

using package::InspectReport;
using State = package::SignatureCheck::State;

const char* BuildText(package::StubBuild build) {
    switch (build) {
    case package::StubBuild::Release32: return "PE32, i386: the 32-bit release build";
    case package::StubBuild::Rehearsal64: return "PE32+, x86-64: the x86-64 rehearsal build, not for release";
    case package::StubBuild::Other: break;
    }
    return "neither build of UnPackFile.exe";
}

void PrintCabinet(const package::Inspection& r, size_t entry) {
    const package::InspectedEntry& e = r.entries[entry];
    if (!e.isCabinet) return;
    if (!e.cabinet.ok)
        std::printf("                   cabinet: expand.exe would fail on it: %s\n", e.cabinet.reason.c_str());
    else
        std::printf("                   cabinet: %zu file(s), every one expands\n", e.cabinet.files.size());
    for (const package::CabinetFile& f : e.cabinet.files) {
        std::printf("                     %s (%" PRIu64 " bytes)\n", f.name.c_str(), f.size);
        for (const package::CabinetNameVerdict& v : r.cabinetNames)
            if (v.entry == entry + 1 && v.name == f.name)
                std::printf("                       not expanded as named: %s\n", v.reason.c_str());
    }
}

void PrintLayout(const InspectReport& report) {
    const package::Inspection& r = report.layout;
    std::printf("file:              %s (%" PRIu64 " bytes)\n", report.path.c_str(), r.fileLength);
    if (!r.hasHeaders) return;
    std::printf("image end:         %" PRIu64 "\n", r.imageEnd);
    if (!r.hasTrailer || r.noTrailer) return;
    std::printf("header offset:     %" PRIu64 "\n", r.headerOffset);
    for (size_t i = 0; i < r.entries.size(); ++i) {
        const package::InspectedEntry& e = r.entries[i];
        std::printf("entry %zu:           record %" PRIu64 ", data %" PRIu64 ", size %" PRIu64 ", name %s\n", i + 1,
                    e.recordOffset, e.dataOffset, e.size, e.name.c_str());
        std::printf("                   sha-256 %s\n", e.sha256.c_str());
        if (!e.refusal.empty()) std::printf("                   not written by the unpacker: %s\n", e.refusal.c_str());
        PrintCabinet(r, i);
    }
    if (r.hasFiller) std::printf("filler:            %" PRIu64 " (%" PRIu64 " bytes)\n", r.fillerOffset, r.fillerLength);
    std::printf("trailer:           %" PRIu64 " (ends at %" PRIu64 ")\n", r.trailerOffset, r.trailerOffset + 284);
    if (r.certificateLength == 0)
        std::printf("certificate table: none\n");
    else
        std::printf("certificate table: %" PRIu32 " (%" PRIu32 " bytes)\n", r.certificateOffset, r.certificateLength);
    if (!r.sha256.empty()) std::printf("sha-256:           %s\n", r.sha256.c_str());
}

void PrintStub(const InspectReport& report) {
    if (!report.hasStub) return;
    std::printf("build:             %s\n", BuildText(package::BuildOf(report.stub)));
    const package::StubVersion& version = report.version;
    if (version.found) {
        std::printf("product version:   %s (the upgrade compares this with the installed version)\n",
                    version.product.c_str());
        std::printf("file version:      %s\n", version.file.c_str());
    } else {
        std::printf("version block:     none: %s\n", version.missing.c_str());
    }
    const package::SignatureCheck& sig = report.signature;
    if (sig.state != State::Checked) {
        std::printf("signature:         %s\n", sig.state == State::None ? "none" : "unreadable");
        if (!report.authenticodeSha256.empty())
            std::printf("file digest:       SHA-256 %s (Authenticode, as a signature of this file holds it)\n",
                        report.authenticodeSha256.c_str());
        return;
    }
    std::printf("signer:            %s\n", sig.subject.c_str());
    std::printf("signer valid:      %s to %s\n", sig.notBefore.c_str(), sig.notAfter.c_str());
    std::printf("signed digest:     %s %s\n", sig.digestAlgorithm.c_str(), sig.signedDigest.c_str());
    std::printf("file digest:       %s %s (%s)\n", sig.digestAlgorithm.c_str(), sig.fileDigest.c_str(),
                sig.DigestMatches() ? "matches" : "DOES NOT MATCH");
    std::printf("signer's signature over the digest: %s\n", sig.signerSignatureValid ? "valid" : "INVALID");
    std::printf("not checked here:  the certificate chain and revocation (run osslsigncode verify)\n");
}

int PrintText(const InspectReport& report) {
    PrintLayout(report);
    PrintStub(report);
    for (const package::Verdict& verdict : report.verdicts)
        if (!verdict.failing) std::printf("note:              %s\n", verdict.message.c_str());
    if (!report.Passed()) {
        std::fflush(stdout);
        for (const package::Verdict& verdict : report.verdicts)
            if (verdict.failing) std::fprintf(stderr, "upkpack: %s: %s\n", report.path.c_str(), verdict.message.c_str());
        return kExitFailure;
    }
    std::printf("OK: the unpacker extracts exactly the packed entries (%zu)\n", report.layout.entries.size());
    return kExitOk;
}

// The JSON view (its shape is documented in the README; fields are only ever
// added). A part that was not reached is null.
using Json = nlohmann::ordered_json;

Json OrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

Json LayoutJson(const InspectReport& report) {
    const package::Inspection& r = report.layout;
    Json layout = {{"image_end", nullptr}, {"header_offset", nullptr}, {"filler", nullptr},
                   {"trailer", nullptr},   {"certificate_table", nullptr}};
    if (!r.hasHeaders) return layout;
    layout["image_end"] = r.imageEnd;
    if (r.certificateLength != 0)
        layout["certificate_table"] = {{"offset", r.certificateOffset}, {"length", r.certificateLength}};
    if (!r.hasTrailer || r.noTrailer) return layout;
    layout["header_offset"] = r.headerOffset;
    if (r.hasFiller) layout["filler"] = {{"offset", r.fillerOffset}, {"length", r.fillerLength}};
    layout["trailer"] = {{"offset", r.trailerOffset}, {"end", r.trailerOffset + 284}};
    return layout;
}

Json EntriesJson(const InspectReport& report) {
    Json entries = Json::array();
    for (size_t i = 0; i < report.layout.entries.size(); ++i) {
        const package::InspectedEntry& e = report.layout.entries[i];
        Json cabinet;
        if (e.isCabinet) {
            const package::CabinetCheck& c = e.cabinet;
            Json files = Json::array();
            for (const package::CabinetFile& f : c.files) {
                Json refused;
                for (const package::CabinetNameVerdict& v : report.layout.cabinetNames)
                    if (v.entry == i + 1 && v.name == f.name) refused = v.reason;
                files.push_back({{"name", f.name}, {"size", f.size}, {"not_expanded_as_named", refused}});
            }
            cabinet = {{"expands", c.ok}, {"problem", OrNull(c.reason)}, {"files", files}};
        }
        entries.push_back({{"number", i + 1},
                           {"name", e.name},
                           {"record_offset", e.recordOffset},
                           {"data_offset", e.dataOffset},
                           {"size", e.size},
                           {"sha256", e.sha256},
                           {"not_written", OrNull(e.refusal)},
                           {"replaces", e.replaces == 0 ? Json() : Json(e.replaces)},
                           {"cabinet", cabinet}});
    }
    return entries;
}

Json StubJson(const InspectReport& report) {
    if (!report.hasStub) return nullptr;
    const package::StubBuild build = package::BuildOf(report.stub);
    const package::StubVersion& v = report.version;
    char machine[8];
    std::snprintf(machine, sizeof(machine), "0x%04X", report.stub.machine);
    return {{"build", build == package::StubBuild::Release32     ? "release"
                      : build == package::StubBuild::Rehearsal64 ? "rehearsal"
                                                                 : "other"},
            {"format", report.stub.is64Bit ? "PE32+" : "PE32"},
            {"machine", machine},
            {"product_version", v.found ? Json(v.product) : Json()},
            {"file_version", v.found ? Json(v.file) : Json()},
            {"version_missing", v.found ? Json() : Json(v.missing)}};
}

Json SignatureJson(const InspectReport& report) {
    if (!report.hasStub) return nullptr;
    const package::SignatureCheck& s = report.signature;
    Json signature = {{"state", s.state == State::None ? "none" : s.state == State::Malformed ? "unreadable" : "checked"},
                      {"problem", OrNull(s.problem)}};
    if (s.state != State::Checked) return signature;
    signature.update({{"signer", s.subject},
                      {"valid_from", s.notBefore},
                      {"valid_to", s.notAfter},
                      {"digest_algorithm", s.digestAlgorithm},
                      {"signed_digest", s.signedDigest},
                      {"file_digest", s.fileDigest},
                      {"digest_matches", s.DigestMatches()},
                      {"signer_signature_valid", s.signerSignatureValid}});
    return signature;
}

int PrintJson(const InspectReport& report) {
    Json verdicts = Json::array();
    for (const package::Verdict& v : report.verdicts)
        verdicts.push_back({{"kind", v.kind}, {"failing", v.failing}, {"message", v.message}});
    const int code = report.Passed() ? kExitOk : kExitFailure;
    const Json out = {{"file", report.path},
                      {"length", report.layout.fileLength},
                      {"passed", report.Passed()},
                      {"exit_code", code},
                      {"layout", LayoutJson(report)},
                      {"entries", EntriesJson(report)},
                      {"stub", StubJson(report)},
                      {"signature", SignatureJson(report)},
                      {"digests",
                       {{"authenticode_sha256", OrNull(report.authenticodeSha256)},
                        {"package_sha256_stored", OrNull(report.layout.sha256)},
                        {"package_sha256_found", OrNull(report.layout.foundSha256)}}},
                      {"verdicts", verdicts}};
    // Names come from the file: bytes that are not UTF-8 are replaced rather than refused.
    std::printf("%s\n", out.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    return code;
}

}  // namespace

Command AddInspect(CLI::App& upkpack) {
    struct Options {
        std::string path;
        bool json = false;
        package::InspectOptions inspect;
    };
    auto options = std::make_shared<Options>();
    CLI::App* app = upkpack.add_subcommand(
        "inspect",
        "Prints the package's layout and checks that UnPackFile.exe would extract exactly the packed\n"
        "entries, signed or unsigned; shows which build the stub is (the 32-bit release or the x86-64\n"
        "rehearsal build), its product and file versions, the file's Authenticode digest (SHA-256, also\n"
        "for an unsigned file, as its signature will hold it) and, when the file is signed, the signer and\n"
        "whether the signed digest matches the file's bytes (the certificate chain and revocation are left\n"
        "to osslsigncode verify). Exits 0 when every check passes, 1 when one fails.");
    app->alias("verify");
    app->add_option("FILE", options->path, "the packaged file")->required();
    app->add_flag("--json", options->json,
                  "print the same findings as one JSON object (its shape is in the README), same exit code");
    app->add_flag("--require-signed", options->inspect.requireSigned,
                  "fail (exit 1) on an unsigned file, as a release pipeline's last gate; without it an unsigned\n"
                  "file passes with a note");
    return {app, [options] {
                const InspectReport report = package::InspectFile(options->path, options->inspect);
                return options->json ? PrintJson(report) : PrintText(report);
            }};
}

}  // namespace upkpack
