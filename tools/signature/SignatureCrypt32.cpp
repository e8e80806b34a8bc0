// The Windows build reads the signature with the platform's own services:
// Crypt32 decodes the PKCS#7 SignedData and checks the signer's signature,
// wintrust's decoder (registered with Crypt32) reads the
// SpcIndirectDataContent, and BCrypt hashes the file.
#include "tools/signature/Signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace package {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr size_t kHashBufferSize = 64 * 1024;

struct MessageCloser {
    void operator()(void* msg) const { CryptMsgClose(msg); }
};
struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct CertificateFreer {
    void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};
struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

std::string TimeText(const FILETIME& time) {
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&time, &t)) return "(unreadable)";
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

std::string NameText(const CERT_NAME_BLOB& name) {
    // Most significant last, comma-separated, as RFC 2253 writes it.
    const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD size = CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), flags, nullptr, 0);
    if (size <= 1) return "(unreadable)";
    std::string text(size, '\0');
    CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), flags, &text[0], size);
    text.resize(size - 1);
    return text;
}

// One CryptMsgGetParam value of variable size.
bool GetParam(HCRYPTMSG msg, DWORD type, DWORD index, std::vector<BYTE>& value) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, type, index, nullptr, &size)) return false;
    value.resize(size);
    return CryptMsgGetParam(msg, type, index, value.data(), &size) && (value.resize(size), true);
}

// Hashes what feed hands to the hash with the named BCrypt algorithm; the digest as hex.
bool Digest(const wchar_t* algorithmName, const std::function<bool(BCRYPT_HASH_HANDLE)>& feed, std::string& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCryptOpenAlgorithmProvider(&algorithm, algorithmName, nullptr, 0) >= 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0 && feed(hash);
    DWORD length = 0, got = 0;
    done = done && BCryptGetProperty(algorithm, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length), sizeof(length),
                                     &got, 0) >= 0;
    std::vector<BYTE> out(done ? length : 0);
    done = done && BCryptFinishHash(hash, out.data(), length, 0) >= 0;
    if (done) digest = Hex(out.data(), out.size());
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    return done;
}

bool HashFile(std::istream& file, const PeFacts& facts, const wchar_t* algorithmName, std::string& digest) {
    return Digest(algorithmName, [&](BCRYPT_HASH_HANDLE hash) {
        std::vector<char> buffer(kHashBufferSize);
        for (const ByteRange& range : AuthenticodeRanges(facts)) {
            for (uint64_t at = range.from; at < range.to;) {
                size_t piece = range.to - at < buffer.size() ? static_cast<size_t>(range.to - at) : buffer.size();
                if (!ReadAt(file, at, buffer.data(), piece) ||
                    BCryptHashData(hash, reinterpret_cast<PUCHAR>(buffer.data()), static_cast<ULONG>(piece), 0) < 0)
                    return false;
                at += piece;
            }
        }
        return true;
    }, digest);
}

// The signed attributes' messageDigest must be the digest of the signed
// content's value (its octets without the SEQUENCE's tag and length), or the
// content was changed under an unchanged signature. Windows' signature check
// compares them too; Wine 8's does not, so it is done here for both.
bool MessageDigestMatches(HCRYPTMSG msg, const std::vector<BYTE>& content) {
    std::vector<BYTE> signerInfo;
    if (!GetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, signerInfo) || content.size() < 2) return false;
    const CMSG_SIGNER_INFO* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    const char* oid = signer->HashAlgorithm.pszObjId;
    const wchar_t* algorithmName = oid == nullptr                                  ? nullptr
                                   : std::strcmp(oid, szOID_NIST_sha256) == 0       ? BCRYPT_SHA256_ALGORITHM
                                   : std::strcmp(oid, szOID_OIWSEC_sha1) == 0       ? BCRYPT_SHA1_ALGORITHM
                                                                                    : nullptr;
    const size_t header = content[1] < 0x80 ? 2 : 2 + (content[1] & 0x7F);
    std::string found;
    if (algorithmName == nullptr || header > content.size() ||
        !Digest(algorithmName, [&](BCRYPT_HASH_HANDLE hash) {
            return BCryptHashData(hash, const_cast<PUCHAR>(content.data() + header),
                                  static_cast<ULONG>(content.size() - header), 0) >= 0;
        }, found))
        return false;
    for (DWORD i = 0; i < signer->AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = signer->AuthAttrs.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, szOID_PKCS_9_MESSAGE_DIGEST) != 0 || attribute.cValue != 1) continue;
        CRYPT_DATA_BLOB* stated = nullptr;
        DWORD size = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_OCTET_STRING, attribute.rgValue[0].pbData,
                                 attribute.rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &stated, &size))
            return false;
        std::unique_ptr<void, LocalFreer> owner(stated);
        return Hex(stated->pbData, stated->cbData) == found;
    }
    return false;
}

}  // namespace

SignatureCheck CheckSignature(std::istream& file, const PeFacts& facts) {
    SignatureCheck check;
    std::vector<uint8_t> signedData;
    if (!ReadSignedData(file, facts, signedData, check)) return check;

    std::unique_ptr<void, MessageCloser> msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    DWORD type = 0, typeSize = sizeof(type);
    if (!msg || !CryptMsgUpdate(msg.get(), signedData.data(), static_cast<DWORD>(signedData.size()), TRUE) ||
        !CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, &type, &typeSize) || type != CMSG_SIGNED)
        return Malformed(check, "the signature is not a PKCS#7 SignedData structure");
    std::vector<BYTE> contentType, content;
    if (!GetParam(msg.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, contentType) ||
        std::strcmp(reinterpret_cast<const char*>(contentType.data()), kSpcIndirectDataOid) != 0 ||
        !GetParam(msg.get(), CMSG_CONTENT_PARAM, 0, content))
        return Malformed(check, "the signed content is not Authenticode's SpcIndirectDataContent");
    SPC_INDIRECT_DATA_CONTENT* indirect = nullptr;
    DWORD indirectSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                             static_cast<DWORD>(content.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &indirect,
                             &indirectSize))
        return Malformed(check, "the SpcIndirectDataContent cannot be decoded (with this system's Authenticode decoder)");
    std::unique_ptr<void, LocalFreer> indirectOwner(indirect);
    const char* algorithmOid = indirect->DigestAlgorithm.pszObjId;
    const bool sha256 = algorithmOid != nullptr && std::strcmp(algorithmOid, szOID_NIST_sha256) == 0;
    const bool sha1 = algorithmOid != nullptr && std::strcmp(algorithmOid, szOID_OIWSEC_sha1) == 0;
    if (!sha256 && !sha1) return Malformed(check, "the signature's digest algorithm is neither SHA-256 nor SHA-1");
    check.digestAlgorithm = sha256 ? "SHA-256" : "SHA-1";
    check.signedDigest = Hex(indirect->Digest.pbData, indirect->Digest.cbData);

    std::vector<BYTE> signerInfo;
    std::unique_ptr<void, StoreCloser> store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg.get()));
    std::unique_ptr<const CERT_CONTEXT, CertificateFreer> signer;
    if (store && GetParam(msg.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, signerInfo))
        signer.reset(CertGetSubjectCertificateFromStore(store.get(), kEncoding,
                                                        reinterpret_cast<CERT_INFO*>(signerInfo.data())));
    if (!signer) return Malformed(check, "the signature does not carry its signer's certificate");
    check.subject = NameText(signer->pCertInfo->Subject);
    check.notBefore = TimeText(signer->pCertInfo->NotBefore);
    check.notAfter = TimeText(signer->pCertInfo->NotAfter);

    if (!HashFile(file, facts, sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA1_ALGORITHM, check.fileDigest))
        return Malformed(check, "cannot read the file to compute its Authenticode digest");
    // Checks the signed attributes' digest of the content and the signature
    // over them with the signer's key; the chain is not looked at.
    check.signerSignatureValid =
        CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, signer->pCertInfo) != FALSE &&
        MessageDigestMatches(msg.get(), content);
    check.state = SignatureCheck::State::Checked;
    return check;
}

}  // namespace package
