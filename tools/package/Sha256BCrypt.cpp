// The Windows build of the tool links bcrypt.dll as usual: unlike the unpacker
// it does not run from a download folder with the system's rights, so the
// loader's search order is no concern here.
#include "tools/package/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

namespace package {

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    void Release() {
        if (hash != nullptr) BCryptDestroyHash(hash);
        if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
        hash = nullptr;
        algorithm = nullptr;
    }
};

Sha256::Sha256() : state_(new State) {
    // No object buffer: since Windows 7 the provider allocates the hash state itself.
    if (BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
        BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) < 0) {
        state_->Release();
        delete state_;
        throw std::runtime_error("BCrypt offers no SHA-256");
    }
}

Sha256::~Sha256() {
    state_->Release();
    delete state_;
}

void Sha256::Update(const void* data, size_t size) {
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    // BCryptHashData takes a 32-bit count.
    while (size > 0) {
        ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0) < 0)
            throw std::runtime_error("BCrypt's SHA-256 failed");
        bytes += piece;
        size -= piece;
    }
}

Sha256::Digest Sha256::Finish() {
    Digest digest{};
    if (BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) < 0)
        throw std::runtime_error("BCrypt's SHA-256 failed");
    return digest;
}

}  // namespace package
