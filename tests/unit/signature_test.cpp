// The Windows build of upkpack reads the stub's versions and checks its
// signature with Crypt32 and BCrypt: UnPackFile.exe signed at build time with
// a throwaway certificate, as signed and with one byte changed.
#include "tests/harness/Scenario.h"
#include "tools/signature/Signature.h"
#include "tools/package/VersionBlock.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

struct Change {
    const char* label;
    size_t peOffset;      // the byte flipped, from the PE signature; 0: none
    size_t fromTheEnd;    // or the byte this far from the end (in the signature itself); 0: none
    bool digestMatches;
    bool signerValid;
    bool forgeDigest = false;  // then writes the changed file's digest into the signed content, as a tamperer would
};

const Change kChanges[] = {
    {"as signed", 0, 0, true, true},
    {"the checksum, which the digest leaves out", 88, 0, true, true},
    {"the PE timestamp", 8, 0, false, true},
    {"a byte of the signature", 0, 100, true, false},
    {"the PE timestamp, its digest forged into the signed content", 8, 0, true, false, true},
};

package::SignatureCheck Check(const std::string& bytes) {
    std::istringstream stream(bytes);
    package::PeFacts facts;
    std::string error;
    EXPECT_TRUE(package::ReadPeFacts(stream, bytes.size(), facts, error)) << error;
    return package::CheckSignature(stream, facts);
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

TEST(Crypt32Signature, ReadsVersionsSignerAndFindsAChangedByte) {
    for (const auto& [file, algorithm] : {std::pair<const char*, const char*>{"UnPackFile-sha256.exe", "SHA-256"},
                                          {"UnPackFile-sha1.exe", "SHA-1"}}) {
        std::ifstream in(std::string(UNPACK_SIGNED_DIR) + "/" + file, std::ios::binary);
        ASSERT_TRUE(in) << file;
        const std::string signedBytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const size_t pe = static_cast<uint8_t>(signedBytes[60]) | static_cast<uint8_t>(signedBytes[61]) << 8;
        for (const Change& change : kChanges) {
            SCOPED_TRACE(std::string(file) + ", " + change.label);
            std::string bytes = signedBytes;
            if (change.peOffset != 0) bytes[pe + change.peOffset] ^= 1;
            if (change.fromTheEnd != 0) bytes[bytes.size() - change.fromTheEnd] ^= 1;
            if (change.forgeDigest) {
                const package::SignatureCheck changed = Check(bytes);
                const size_t at = bytes.find(Unhex(changed.signedDigest), bytes.size() - 4000);
                ASSERT_NE(at, std::string::npos);
                bytes.replace(at, changed.fileDigest.size() / 2, Unhex(changed.fileDigest));
            }
            std::istringstream stream(bytes);
            package::PeFacts facts;
            std::string error;
            ASSERT_TRUE(package::ReadPeFacts(stream, bytes.size(), facts, error)) << error;
            const package::StubVersion version = package::ReadStubVersion(stream, facts);
            EXPECT_EQ(version.product, UNPACK_PRODUCT_VERSION_TEXT) << version.missing;
            EXPECT_EQ(version.file, UNPACK_FILE_VERSION_TEXT);
            const package::SignatureCheck check = package::CheckSignature(stream, facts);
            ASSERT_EQ(check.state, package::SignatureCheck::State::Checked) << check.problem;
            EXPECT_EQ(check.subject, "CN=upkpack test");
            EXPECT_EQ(check.digestAlgorithm, algorithm);
            EXPECT_EQ(check.DigestMatches(), change.digestMatches) << check.signedDigest << " " << check.fileDigest;
            EXPECT_EQ(check.signerSignatureValid, change.signerValid);
        }
    }
}

}  // namespace
