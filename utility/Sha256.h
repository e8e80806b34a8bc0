// SHA-256 from the platform: BCrypt's provider, bound at first call from the
// system folder like version.dll. Nothing here logs or touches CUtility, so
// that the Windows build of the release tool can hash with the same code.
#pragma once

#include <cstddef>
#include <cstdint>

class CSha256 {
public:
    static constexpr size_t kDigestSize = 32;

    CSha256() = default;
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    // Starts a new message; false when the platform offers no SHA-256.
    bool Init();
    bool Update(const void* data, size_t size);
    // Ends the message. Init must be called again before the next one.
    bool Final(uint8_t digest[kDigestSize]);

private:
    void Release();

    void* algorithm = nullptr;  // BCRYPT_ALG_HANDLE
    void* hash = nullptr;       // BCRYPT_HASH_HANDLE
};
