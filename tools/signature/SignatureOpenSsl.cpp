// libcrypto reads the PKCS#7 SignedData; Authenticode's own content, the
// SpcIndirectDataContent, is unknown to it and is taken apart here with its
// generic ASN.1 types: SEQUENCE { data, messageDigest DigestInfo }.
#include "tools/signature/Signature.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <vector>

namespace package {
namespace {

constexpr size_t kHashBufferSize = 64 * 1024;

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

void FreeSequence(ASN1_SEQUENCE_ANY* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
void FreeSigners(STACK_OF(X509)* s) { sk_X509_free(s); }  // the certificates stay owned by the PKCS7

std::string TimeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "(unreadable)";
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string NameText(const X509_NAME* name) {
    Owned<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "(unreadable)";
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

bool HashFile(std::istream& file, const PeFacts& facts, const EVP_MD* md, std::string& digest) {
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) return false;
    std::vector<char> buffer(kHashBufferSize);
    for (const ByteRange& range : AuthenticodeRanges(facts)) {
        for (uint64_t at = range.from; at < range.to;) {
            size_t piece = range.to - at < buffer.size() ? static_cast<size_t>(range.to - at) : buffer.size();
            if (!ReadAt(file, at, buffer.data(), piece) || EVP_DigestUpdate(context.get(), buffer.data(), piece) != 1)
                return false;
            at += piece;
        }
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), out, &size) != 1) return false;
    digest = Hex(out, size);
    return true;
}

// Authenticode signs the SpcIndirectDataContent's contents without its own
// SEQUENCE tag and length; PKCS7_NOVERIFY leaves the chain out.
bool SignerSignatureValid(PKCS7* p7, const ASN1_STRING* content) {
    const unsigned char* p = content->data;
    long length = 0;
    int tag = 0, xclass = 0;
    if (ASN1_get_object(&p, &length, &tag, &xclass, content->length) & 0x80) return false;
    Owned<BIO, BIO_free_all> data(BIO_new_mem_buf(p, static_cast<int>(length)));
    return data && PKCS7_verify(p7, nullptr, nullptr, data.get(), nullptr, PKCS7_NOVERIFY) == 1;
}

}  // namespace

SignatureCheck CheckSignature(std::istream& file, const PeFacts& facts) {
    SignatureCheck check;
    std::vector<uint8_t> signedData;
    if (!ReadSignedData(file, facts, signedData, check)) return check;

    const unsigned char* der = signedData.data();
    Owned<PKCS7, PKCS7_free> p7(d2i_PKCS7(nullptr, &der, static_cast<long>(signedData.size())));
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || p7->d.sign->contents == nullptr)
        return Malformed(check, "the signature is not a PKCS#7 SignedData structure");
    const PKCS7* content = p7->d.sign->contents;
    Owned<ASN1_OBJECT, ASN1_OBJECT_free> spcOid(OBJ_txt2obj(kSpcIndirectDataOid, 1));
    if (!spcOid || content->type == nullptr || OBJ_cmp(content->type, spcOid.get()) != 0 ||
        content->d.other == nullptr || content->d.other->type != V_ASN1_SEQUENCE)
        return Malformed(check, "the signed content is not Authenticode's SpcIndirectDataContent");
    const ASN1_STRING* indirect = content->d.other->value.sequence;

    const unsigned char* p = indirect->data;
    Owned<ASN1_SEQUENCE_ANY, FreeSequence> fields(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, indirect->length));
    const ASN1_TYPE* digestInfo = fields && sk_ASN1_TYPE_num(fields.get()) >= 2 ? sk_ASN1_TYPE_value(fields.get(), 1)
                                                                                 : nullptr;
    if (digestInfo == nullptr || digestInfo->type != V_ASN1_SEQUENCE)
        return Malformed(check, "the SpcIndirectDataContent holds no digest");
    p = digestInfo->value.sequence->data;
    Owned<X509_SIG, X509_SIG_free> sig(d2i_X509_SIG(nullptr, &p, digestInfo->value.sequence->length));
    if (!sig) return Malformed(check, "the SpcIndirectDataContent's digest is not a DigestInfo");
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* signedDigest = nullptr;
    X509_SIG_get0(sig.get(), &algorithm, &signedDigest);
    const ASN1_OBJECT* algorithmOid = nullptr;
    X509_ALGOR_get0(&algorithmOid, nullptr, nullptr, algorithm);
    const int nid = OBJ_obj2nid(algorithmOid);
    if (nid != NID_sha256 && nid != NID_sha1)
        return Malformed(check, "the signature's digest algorithm is neither SHA-256 nor SHA-1");
    check.digestAlgorithm = nid == NID_sha256 ? "SHA-256" : "SHA-1";
    check.signedDigest =
        Hex(ASN1_STRING_get0_data(signedDigest), static_cast<size_t>(ASN1_STRING_length(signedDigest)));

    Owned<STACK_OF(X509), FreeSigners> signers(PKCS7_get0_signers(p7.get(), nullptr, 0));
    const X509* signer = signers && sk_X509_num(signers.get()) > 0 ? sk_X509_value(signers.get(), 0) : nullptr;
    if (signer == nullptr) return Malformed(check, "the signature does not carry its signer's certificate");
    check.subject = NameText(X509_get_subject_name(signer));
    check.notBefore = TimeText(X509_get0_notBefore(signer));
    check.notAfter = TimeText(X509_get0_notAfter(signer));

    if (!HashFile(file, facts, nid == NID_sha256 ? EVP_sha256() : EVP_sha1(), check.fileDigest))
        return Malformed(check, "cannot read the file to compute its Authenticode digest");
    check.signerSignatureValid = SignerSignatureValid(p7.get(), indirect);
    check.state = SignatureCheck::State::Checked;
    return check;
}

}  // namespace package
