// The Authenticode signature in a signed package's certificate table: who
// signed, for how long the certificate is valid, and whether the digest it
// signed is this file's. Whether the certificate chains to a trusted root, and
// whether it was revoked, is not checked here (osslsigncode verify does that).
// Two bindings: libcrypto (SignatureOpenSsl.cpp) on the build machine, Crypt32
// and BCrypt (SignatureCrypt32.cpp) in the Windows build.
#pragma once

#include "tools/package/PeImage.h"

#include <istream>
#include <string>
#include <vector>

namespace package {

struct SignatureCheck {
    enum class State {
        None,       // the certificate table is empty: the file is not signed
        Malformed,  // signed, but the signature cannot be read (problem says why)
        Checked,    // the fields below are set
    };
    State state = State::None;
    std::string subject;    // the signer's certificate, most significant part last
    std::string notBefore;  // its validity, "YYYY-MM-DD hh:mm:ss UTC"
    std::string notAfter;
    std::string digestAlgorithm;  // "SHA-256" or "SHA-1"
    std::string signedDigest;     // hex, from the SpcIndirectDataContent
    std::string fileDigest;       // hex, the file's Authenticode digest
    bool signerSignatureValid = false;  // the signer's signature over that content, without the chain
    std::string problem;
    bool DigestMatches() const { return state == State::Checked && signedDigest == fileDigest; }
};

// Reads the first entry of the certificate table and hashes the file as
// Authenticode does; check.state tells what was found.
SignatureCheck CheckSignature(std::istream& file, const PeFacts& facts);

// The file's Authenticode SHA-256, signed or not, as hex: what a signature of
// it holds. For an unsigned file whose length is not a multiple of 8 it takes
// the zero bytes that signing adds ahead of the table, as the signing tool
// hashes them. Empty when the file cannot be read that far.
std::string AuthenticodeSha256(std::istream& file, const PeFacts& facts);

// What the cryptographic bindings share (Signature.cpp).
struct ByteRange {
    uint64_t from = 0, to = 0;
};
// The parts of the file the Authenticode digest covers, in order: every byte
// but the checksum, the security directory entry and the certificate table
// (none in an unsigned file, whose last range runs to its end).
std::vector<ByteRange> AuthenticodeRanges(const PeFacts& facts);
// The PKCS#7 SignedData of the certificate table's first entry (a
// WIN_CERTIFICATE). False when there is none to check: check is then None, or
// Malformed with the reason.
bool ReadSignedData(std::istream& file, const PeFacts& facts, std::vector<uint8_t>& signedData,
                    SignatureCheck& check);
// The bytes as lower-case hex digits.
std::string Hex(const uint8_t* bytes, size_t size);
// Marks check as Malformed with the reason and returns it.
SignatureCheck Malformed(SignatureCheck& check, const std::string& problem);
// Authenticode's content type, SpcIndirectDataContent.
constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";

}  // namespace package
