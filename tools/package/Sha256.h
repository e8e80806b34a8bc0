// SHA-256 from the platform: libcrypto's EVP on the build machine, BCrypt in
// the Windows build of the tool, so that the writer, its checks and the
// unpacker all hash with a maintained implementation rather than our own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace package {

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    // The platform's hash cannot be set up or fails: a broken installation,
    // not a bad package, so it ends the command (std::runtime_error) rather
    // than yield a digest that was not computed.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size);
    // Ends the message; the object must not be updated afterwards.
    Digest Finish();

    static Digest Of(const void* data, size_t size);
    static std::string ToHex(const Digest& digest);

private:
    struct State;
    State* state_;
};

}  // namespace package
