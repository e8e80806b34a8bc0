// The package is proved against its trailer before anything is written: a
// package damaged on its way to the customer is refused whole, rather than
// half extracted and handed to expand.exe.
#include "unpack/UnPack.h"

#include "framework/File.h"
#include "utility/Sha256.h"
#include "utility/Utility.h"

#include <cstring>

namespace {

const wchar_t kCaller[] = L"CUnPack::CheckPackage";

// Large reads let the hash run at the platform's speed: with the copy's 1 KiB
// reads, the calls alone would cost as much as the whole extraction under
// Wine. The buffer lies on the worker's stack, the same for any package size.
constexpr DWORD kCheckChunk = 64 * 1024;

std::wstring Hex(const uint8_t* bytes, size_t count) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

void LogLengths(uint64_t expected, uint64_t found) {
    CUtility::Log(L"[%s] Package damaged: length expected %lld bytes, found %lld", kCaller,
                  static_cast<long long>(expected), static_cast<long long>(found));
}

}  // namespace

bool CUnPack::CheckPackage(CFile& package) {
    if (std::memcmp(trailer.magic, package::kTrailerMagic, sizeof(trailer.magic)) != 0) return true;
    // Our marker with a format this stub cannot read: a newer writer's
    // package behind an older stub, or one damaged field. Taking it as
    // another writer's would let that one field turn the check off.
    if (trailer.formatVersion != package::kTrailerFormatVersion) {
        CUtility::Log(L"[%s] Package format %u is not known to this unpacker", kCaller,
                      static_cast<unsigned>(trailer.formatVersion));
        return false;
    }

    // FindHeader accepts a header offset only ahead of the trailer.
    const uint64_t available = trailerStart - trailer.headerOffset;
    if (trailer.packageLength != available) {
        LogLengths(trailer.packageLength, available);
        return false;
    }

    CSha256 sha;
    if (!sha.Init()) {
        CUtility::Log(L"[%s] Cannot check the package: the system's SHA-256 is not available", kCaller);
        return false;
    }
    CFileException error;
    if (!package.Seek(static_cast<LONGLONG>(trailer.headerOffset), CFile::begin, nullptr, &error)) {
        CUtility::FileException(error);
        return false;
    }
    uint8_t buffer[kCheckChunk];
    uint64_t left = available;
    while (left > 0) {
        DWORD want = left < kCheckChunk ? static_cast<DWORD>(left) : kCheckChunk;
        DWORD got = 0;
        if (!package.Read(buffer, want, got, &error)) {
            CUtility::FileException(error);
            return false;
        }
        // The file shrank since its length was taken.
        if (got == 0) {
            LogLengths(available, available - left);
            return false;
        }
        if (!sha.Update(buffer, got)) {
            CUtility::Log(L"[%s] Cannot check the package: the system's SHA-256 failed", kCaller);
            return false;
        }
        left -= got;
    }
    uint8_t found[CSha256::kDigestSize];
    if (!sha.Final(found)) {
        CUtility::Log(L"[%s] Cannot check the package: the system's SHA-256 failed", kCaller);
        return false;
    }
    if (std::memcmp(found, trailer.sha256, sizeof(found)) != 0) {
        CUtility::Log(L"[%s] Package damaged: SHA-256 expected %s, found %s", kCaller,
                      Hex(trailer.sha256, sizeof(trailer.sha256)).c_str(), Hex(found, sizeof(found)).c_str());
        return false;
    }
    return true;
}
