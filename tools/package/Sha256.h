// SHA-256 in plain C++, so that the writer and its checks need no crypto library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace package {

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256();
    void Update(const void* data, size_t size);
    // Ends the message; the object must not be updated afterwards.
    Digest Finish();

    static Digest Of(const void* data, size_t size);
    static std::string ToHex(const Digest& digest);

private:
    void Transform(const uint8_t* block);

    uint32_t state_[8];
    uint8_t block_[64];
    size_t blockUsed_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace package
