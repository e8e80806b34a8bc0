#include "utility/Sha256.h"

#include "utility/SystemLibrary.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

// bcrypt.dll is not linked: a static import would be resolved by the loader
// before the library search is hardened.
struct BCryptFunctions {
    decltype(&::BCryptOpenAlgorithmProvider) openAlgorithm;
    decltype(&::BCryptCloseAlgorithmProvider) closeAlgorithm;
    decltype(&::BCryptCreateHash) createHash;
    decltype(&::BCryptHashData) hashData;
    decltype(&::BCryptFinishHash) finishHash;
    decltype(&::BCryptDestroyHash) destroyHash;
    bool complete() const {
        return openAlgorithm && closeAlgorithm && createHash && hashData && finishHash && destroyHash;
    }
};

// Bound once, by the thread that hashes first. A plain flag rather than a
// local static with an initialiser: the compiler guards those with the C++
// library's thread-safe statics, which would link its exception runtime into
// the stub. Only the extraction worker hashes, so no two threads bind at once.
const BCryptFunctions& BCrypt() {
    static BCryptFunctions functions;
    static bool bound = false;
    if (!bound) {
        const wchar_t library[] = L"bcrypt.dll";
        functions.openAlgorithm = GetSystemFunction<decltype(functions.openAlgorithm)>(library, "BCryptOpenAlgorithmProvider");
        functions.closeAlgorithm = GetSystemFunction<decltype(functions.closeAlgorithm)>(library, "BCryptCloseAlgorithmProvider");
        functions.createHash = GetSystemFunction<decltype(functions.createHash)>(library, "BCryptCreateHash");
        functions.hashData = GetSystemFunction<decltype(functions.hashData)>(library, "BCryptHashData");
        functions.finishHash = GetSystemFunction<decltype(functions.finishHash)>(library, "BCryptFinishHash");
        functions.destroyHash = GetSystemFunction<decltype(functions.destroyHash)>(library, "BCryptDestroyHash");
        bound = true;
    }
    return functions;
}

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

CSha256::~CSha256() { Release(); }

void CSha256::Release() {
    if (hash != nullptr) BCrypt().destroyHash(hash);
    if (algorithm != nullptr) BCrypt().closeAlgorithm(algorithm, 0);
    hash = nullptr;
    algorithm = nullptr;
}

bool CSha256::Init() {
    Release();
    const BCryptFunctions& f = BCrypt();
    if (!f.complete()) return false;
    // No object buffer: since Windows 7 the provider allocates the hash state itself.
    if (!Succeeded(f.openAlgorithm(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !Succeeded(f.createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        Release();
        return false;
    }
    return true;
}

bool CSha256::Update(const void* data, size_t size) {
    if (hash == nullptr) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    // BCryptHashData takes a 32-bit count.
    while (size > 0) {
        ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!Succeeded(BCrypt().hashData(hash, const_cast<PUCHAR>(bytes), piece, 0))) return false;
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool CSha256::Final(uint8_t digest[kDigestSize]) {
    bool done = hash != nullptr && Succeeded(BCrypt().finishHash(hash, digest, kDigestSize, 0));
    Release();
    return done;
}
