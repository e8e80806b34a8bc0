#include "tools/package/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace package {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(new State) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(state_->context);
        delete state_;
        throw std::runtime_error("libcrypto offers no SHA-256");
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state_->context);
    delete state_;
}

void Sha256::Update(const void* data, size_t size) {
    if (EVP_DigestUpdate(state_->context, data, size) != 1) throw std::runtime_error("libcrypto's SHA-256 failed");
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size())
        throw std::runtime_error("libcrypto's SHA-256 failed");
    return digest;
}

}  // namespace package
