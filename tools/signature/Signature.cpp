#include "tools/signature/Signature.h"

#include "tools/package/Sha256.h"
#include "unpack/layout/PackageParse.h"

namespace package {
namespace {

constexpr uint16_t kPkcsSignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
constexpr size_t kHashBufferSize = 64 * 1024;

bool Fail(SignatureCheck& check, const std::string& problem) {
    Malformed(check, problem);
    return false;
}

}  // namespace

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

SignatureCheck Malformed(SignatureCheck& check, const std::string& problem) {
    check.state = SignatureCheck::State::Malformed;
    check.problem = problem;
    return check;
}

std::vector<ByteRange> AuthenticodeRanges(const PeFacts& facts) {
    if (facts.securityOffset == 0 || facts.securityLength == 0)
        return {{0, facts.checksumOffset},
                {facts.checksumOffset + 4, facts.securityEntryOffset},
                {facts.securityEntryOffset + 8, facts.fileLength}};
    return {{0, facts.checksumOffset},
            {facts.checksumOffset + 4, facts.securityEntryOffset},
            {facts.securityEntryOffset + 8, facts.securityOffset},
            {static_cast<uint64_t>(facts.securityOffset) + facts.securityLength, facts.fileLength}};
}

std::string AuthenticodeSha256(std::istream& file, const PeFacts& facts) {
    Sha256 sha;
    std::vector<char> buffer(kHashBufferSize);
    for (const ByteRange& range : AuthenticodeRanges(facts)) {
        if (range.from > range.to || range.to > facts.fileLength) return "";
        for (uint64_t at = range.from; at < range.to;) {
            const size_t piece = range.to - at < buffer.size() ? static_cast<size_t>(range.to - at) : buffer.size();
            if (!ReadAt(file, at, buffer.data(), piece)) return "";
            sha.Update(buffer.data(), piece);
            at += piece;
        }
    }
    const bool isSigned = facts.securityOffset != 0 && facts.securityLength != 0;
    const char padding[8] = {};
    if (!isSigned && facts.fileLength % 8 != 0) sha.Update(padding, 8 - facts.fileLength % 8);
    return Sha256::ToHex(sha.Finish());
}

bool ReadSignedData(std::istream& file, const PeFacts& facts, std::vector<uint8_t>& signedData,
                    SignatureCheck& check) {
    check = SignatureCheck{};
    if (facts.securityOffset == 0 || facts.securityLength == 0) return false;
    const uint64_t tableEnd = static_cast<uint64_t>(facts.securityOffset) + facts.securityLength;
    if (facts.securityLength < 8 || tableEnd > facts.fileLength || facts.securityOffset < facts.securityEntryOffset + 8)
        return Fail(check, "the certificate table does not lie within the file, behind the headers");
    std::vector<uint8_t> table(facts.securityLength);
    if (!ReadAt(file, facts.securityOffset, table.data(), table.size()))
        return Fail(check, "cannot read the certificate table");
    // WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the PKCS#7.
    const uint32_t entryLength = ReadLE32(table.data());
    const uint16_t type = static_cast<uint16_t>(table[6] | table[7] << 8);
    if (entryLength <= 8 || entryLength > table.size())
        return Fail(check, "the certificate table's first entry has an impossible length");
    if (type != kPkcsSignedData) return Fail(check, "the certificate table's first entry is not a PKCS#7 signature");
    signedData.assign(table.begin() + 8, table.begin() + entryLength);
    return true;
}

}  // namespace package
