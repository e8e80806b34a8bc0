// Packing, then signing with osslsigncode: the certificate table must land right
// behind the trailer, where the unpacker counts back from.
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>

namespace {

using namespace testsupport;

bool HaveProgram(const char* name) {
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A throwaway self-signed code-signing certificate, made for this run only.
int MakeCertificate(const ScratchDir& dir) {
    return Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=upkpack test' -keyout '" +
                 dir.Path("key.pem") + "' -out '" + dir.Path("cert.pem") + "'");
}

int Sign(const ScratchDir& dir, const std::string& in, const std::string& out, const char* hash = "sha256") {
    std::remove(out.c_str());
    return Shell("osslsigncode sign -h " + std::string(hash) + " -certs '" + dir.Path("cert.pem") + "' -key '" +
                 dir.Path("key.pem") + "' -n 'upkpack test' -in '" + in + "' -out '" + out + "'");
}

#define SKIP_UNLESS_SIGNING_TOOLS()                                                                         \
    if (!HaveProgram("osslsigncode") || !HaveProgram("openssl"))                                            \
    GTEST_SKIP() << "osslsigncode and openssl are needed to sign a package; install them to run this test"

TEST(Signing, CertificateTableFollowsTheTrailer) {
    SKIP_UNLESS_SIGNING_TOOLS();
    ScratchDir dir;
    ASSERT_EQ(MakeCertificate(dir), 0);

    // The fake stub is enough for osslsigncode; UNPACK_STUB may name the real
    // UnPackFile.exe of the Windows build to sign that as well.
    std::vector<std::pair<std::string, std::string>> stubs;
    WriteBytes(dir.Path("fake.exe"), FakeStub(4096));
    stubs.emplace_back("fake PE stub", dir.Path("fake.exe"));
    WriteBytes(dir.Path("fake64.exe"), FakeStub(4096, true));
    stubs.emplace_back("fake PE32+ stub", dir.Path("fake64.exe"));
    if (const char* real = std::getenv("UNPACK_STUB")) stubs.emplace_back("UNPACK_STUB", real);

    // A cabinet and a setup.ini sized for the filler wanted.
    struct Payload {
        const char* label;
        size_t cabinetData;
        uint64_t filler;
    } payloads[] = {{"no filler", 100, 0}, {"seven filler bytes", 100, 7}, {"large cabinet", 300001, 0}};
    for (const auto& stub : stubs) {
        for (const Payload& payload : payloads) {
            SCOPED_TRACE(stub.first + ", " + payload.label);
            const uint64_t cabinet =
                MakeCabinet(dir.Path("package1.cab"), {{"VYAuto.exe", PatternBytes(payload.cabinetData, 4)}}, false)
                    .size();
            const uint64_t stubSize = ReadBytes(stub.second).size();
            const uint64_t ini = (8 - (stubSize + 3 * 284 + cabinet + payload.filler) % 8) % 8;
            WriteBytes(dir.Path("setup.ini"), Bytes(ini, 'i'));
            const std::string packed = dir.Path("Packaged.exe"), signedPath = dir.Path("Signed.exe");
            std::string output;
            ASSERT_EQ(RunTool({"pack", "--force", "--stub", stub.second, "--out", packed, dir.Path("package1.cab"),
                               dir.Path("setup.ini")},
                              &output),
                      0)
                << output;
            const Bytes unsignedBytes = ReadBytes(packed);
            ASSERT_EQ(unsignedBytes.size(), stubSize + 2 * 284 + cabinet + ini + payload.filler + 284);
            ASSERT_EQ(unsignedBytes.size() % 8, 0u) << "osslsigncode would pad an unaligned file before the table";

            ASSERT_EQ(Sign(dir, packed, signedPath), 0);
            const Bytes signedBytes = ReadBytes(signedPath);
            const uint32_t pe = Le32(signedBytes, 60);
            const bool pe32Plus = signedBytes[pe + 24] == 0x0B && signedBytes[pe + 25] == 0x02;
            const size_t field = pe + (pe32Plus ? 168 : 152);
            const uint32_t tableOffset = Le32(signedBytes, field), tableSize = Le32(signedBytes, field + 4);
            EXPECT_EQ(tableOffset, unsignedBytes.size()) << "signing added bytes between trailer and table";
            EXPECT_EQ(static_cast<uint64_t>(tableOffset) + tableSize, signedBytes.size());
            // Signing changes the PE header (checksum, security directory) but
            // not a byte of the package.
            const uint64_t headerOffset = Le64(unsignedBytes, unsignedBytes.size() - 284 + 8);
            EXPECT_TRUE(std::equal(unsignedBytes.begin() + headerOffset, unsignedBytes.end(),
                                   signedBytes.begin() + headerOffset));

            EXPECT_EQ(RunTool({"inspect", signedPath}, &output), 0) << output;
            EXPECT_NE(output.find("trailer:           " + std::to_string(unsignedBytes.size() - 284) + " (ends at " +
                                  std::to_string(tableOffset) + ")\n"),
                      std::string::npos)
                << output;
            EXPECT_NE(output.find("certificate table: " + std::to_string(tableOffset) + " (" +
                                  std::to_string(tableSize) + " bytes)\n"),
                      std::string::npos)
                << output;
        }
    }
}

// What inspect tells of the stub: its versions, the signer, and whether the
// signed Authenticode digest is still the file's. Every header byte but the
// checksum is covered, so one changed byte must be found.
TEST(Signing, InspectChecksTheStubAgainstItsSignature) {
    SKIP_UNLESS_SIGNING_TOOLS();
    ScratchDir dir;
    ASSERT_EQ(MakeCertificate(dir), 0);
    MakeCabinet(dir.Path("package1.cab"), {{"VYAuto.exe", PatternBytes(3000, 5)}}, false);
    const size_t pe = kFakePeOffset;
    struct Change {
        const char* label;
        size_t offset;  // the byte whose low bit is flipped; 0: none
        bool found;
    } changes[] = {
        {"as signed", 0, false},
        {"the checksum, which the digest leaves out", pe + 88, false},
        {"the DOS header", 0x40, true},
        {"the PE timestamp", pe + 8, true},
        {"the product version in the version block", 0x200 + 16 + 88 + 60, true},  // its last field
    };
    for (const auto& [pe32Plus, hash] : {std::pair<bool, const char*>{false, "sha256"}, {true, "sha1"}}) {
        SCOPED_TRACE(std::string(pe32Plus ? "PE32+ " : "PE32 ") + hash);
        Bytes stub = FakeStub(4096, pe32Plus);
        AddVersionBlock(stub, pe32Plus, 0x0003000600020001ull, 0x0001000200030004ull);
        WriteBytes(dir.Path("stub.exe"), stub);
        std::string output;
        ASSERT_EQ(
            RunTool({"pack", "--force", "--stub", dir.Path("stub.exe"), "--out", dir.Path("P.exe"), dir.Path("package1.cab")},
                    &output),
            0)
            << output;
        ASSERT_EQ(Sign(dir, dir.Path("P.exe"), dir.Path("S.exe"), hash), 0);
        // What a third party compares: the digest inspect names for the unsigned
        // file is the one the signature holds. --require-signed passes only the signed one.
        auto inspect = [&](const char* name) {
            EXPECT_EQ(RunTool({"inspect", "--json", "--require-signed", dir.Path(name)}, &output), name[0] == 'S' ? 0 : 1);
            return nlohmann::json::parse(output);
        };
        const nlohmann::json unsignedJson = inspect("P.exe"), signedJson = inspect("S.exe");
        EXPECT_EQ(unsignedJson["stub"]["build"], pe32Plus ? "rehearsal" : "release");
        EXPECT_EQ(signedJson["digests"]["authenticode_sha256"], unsignedJson["digests"]["authenticode_sha256"]);
        if (hash == std::string("sha256"))
            EXPECT_EQ(signedJson["signature"]["signed_digest"], unsignedJson["digests"]["authenticode_sha256"]);
        const Bytes signedBytes = ReadBytes(dir.Path("S.exe"));
        for (const Change& change : changes) {
            SCOPED_TRACE(change.label);
            Bytes bytes = signedBytes;
            if (change.offset != 0) bytes.at(change.offset) ^= 1;
            WriteBytes(dir.Path("T.exe"), bytes);
            EXPECT_EQ(RunTool({"inspect", dir.Path("T.exe")}, &output), change.found ? 1 : 0) << output;
            const bool matches = output.find(" (matches)\n") != std::string::npos;
            EXPECT_EQ(matches, !change.found) << output;
            if (change.found) EXPECT_NE(output.find("was changed after signing"), std::string::npos) << output;
            EXPECT_NE(output.find("signer:            CN=upkpack test\n"), std::string::npos) << output;
            EXPECT_NE(output.find("osslsigncode verify"), std::string::npos) << output;
        }
        EXPECT_NE(output.find("product version:   3.6.2.0"), std::string::npos) << output;  // the last change
        // A tamperer's forgeries, each left with a digest that matches: a changed file whose digest is written
        // into the signed content (its signed attributes left as they were), and a flipped signature byte.
        auto digestAfter = [&](const std::string& label) {  // behind the label and the algorithm's name
            const size_t at = output.find(' ', output.find(label) + label.size()) + 1;
            Bytes digest;
            for (size_t i = at; std::isxdigit(static_cast<unsigned char>(output.at(i))); i += 2)
                digest.push_back(static_cast<uint8_t>(std::stoi(output.substr(i, 2), nullptr, 16)));
            return digest;
        };
        Bytes forged = signedBytes;
        forged.at(0x40) ^= 1;
        WriteBytes(dir.Path("T.exe"), forged);
        RunTool({"inspect", dir.Path("T.exe")}, &output);
        const Bytes signedDigest = digestAfter("signed digest:     "), fileDigest = digestAfter("file digest:       ");
        const size_t table = Le32(signedBytes, SecurityField(pe32Plus));
        const auto where = std::search(forged.begin() + table, forged.end(), signedDigest.begin(), signedDigest.end());
        ASSERT_NE(where, forged.end());
        std::copy(fileDigest.begin(), fileDigest.end(), where);
        Bytes flipped = signedBytes;
        const size_t signatureEnd = table + 8 + 4 + (signedBytes.at(table + 10) << 8 | signedBytes.at(table + 11));
        flipped.at(signatureEnd - 10) ^= 1;  // inside the RSA signature, the SignerInfo's last field
        for (const Bytes* bytes : {&forged, &flipped}) {
            WriteBytes(dir.Path("T.exe"), *bytes);
            EXPECT_EQ(RunTool({"inspect", dir.Path("T.exe")}, &output), 1) << output;
            EXPECT_NE(output.find(" (matches)\nsigner's signature over the digest: INVALID\n"), std::string::npos) << output;
            EXPECT_NE(output.find("T.exe: the signer's signature over the Authenticode digest does not verify\n"),
                      std::string::npos) << output;
        }
        // The unchanged file: both versions, and the signature's own check.
        RunTool({"inspect", dir.Path("S.exe")}, &output);
        EXPECT_NE(output.find("product version:   3.6.2.1 "), std::string::npos) << output;
        EXPECT_NE(output.find("file version:      1.2.3.4\n"), std::string::npos) << output;
        EXPECT_NE(output.find("signer's signature over the digest: valid\n"), std::string::npos) << output;
    }
    // An unsigned stub without resources.
    WriteBytes(dir.Path("plain.exe"), FakeStub(4096));
    std::string output;
    ASSERT_EQ(RunTool({"pack", "--force", "--stub", dir.Path("plain.exe"), "--out", dir.Path("P.exe"),
                       dir.Path("package1.cab")}),
              0);
    EXPECT_EQ(RunTool({"inspect", dir.Path("P.exe")}, &output), 0) << output;
    EXPECT_NE(output.find("version block:     none: the stub has no resources\n"), std::string::npos) << output;
    EXPECT_NE(output.find("signature:         none\n"), std::string::npos) << output;
}

}  // namespace
