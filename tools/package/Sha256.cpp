// What the two bindings share; Sha256OpenSsl.cpp and Sha256BCrypt.cpp hold the hashing.
#include "tools/package/Sha256.h"

namespace package {

Sha256::Digest Sha256::Of(const void* data, size_t size) {
    Sha256 sha;
    sha.Update(data, size);
    return sha.Finish();
}

std::string Sha256::ToHex(const Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

}  // namespace package
