// Locating the package appended to the executable: the trailer ends where the
// certificate table begins, and its header offset names the first entry record.
#include "unpack/UnPack.h"

#include "framework/File.h"
#include "unpack/layout/PackageParse.h"
#include "utility/Utility.h"

namespace {

const wchar_t kCaller[] = L"CUnPack::FindHeader";

// Reads up to count bytes; got receives how many the file had. A read that
// fails is logged and reported as a failure.
bool ReadUpTo(CFile& file, uint8_t* buffer, DWORD count, DWORD& got) {
    CFileException error;
    if (file.Read(buffer, count, got, &error)) return true;
    CUtility::FileException(error);
    return false;
}

// A read that stopped short is reported as a failure, because the bytes it
// left behind were never written.
bool IsWhole(DWORD got, DWORD count, const wchar_t* what) {
    if (got == count) return true;
    CUtility::Log(L"[%s] %s cut off: %d of %d bytes", kCaller, what, static_cast<int>(got), static_cast<int>(count));
    return false;
}

bool ReadWhole(CFile& file, uint8_t* buffer, DWORD count, const wchar_t* what) {
    DWORD got = 0;
    return ReadUpTo(file, buffer, count, got) && IsWhole(got, count, what);
}

bool SeekTo(CFile& file, LONGLONG offset, UINT from) {
    CFileException error;
    if (file.Seek(offset, from, nullptr, &error)) return true;
    CUtility::FileException(error);
    return false;
}

uint64_t ReadHeaderOffset(CFile& file, package::TrailerRecord& found, uint64_t& foundAt) {
    uint8_t dos[package::kDosHeaderSize] = {};
    if (!ReadWhole(file, dos, sizeof(dos), L"DOS header")) return 0;
    int32_t peOffset = 0;
    package::ParsePeOffset(dos, sizeof(dos), peOffset);

    ULONGLONG length = 0;
    if (!file.GetLength(length)) {
        CUtility::Log(L"[%s] Length unknown", kCaller);
        return 0;
    }
    // Widened with its sign: a negative e_lfanew becomes huge and lies past the end.
    if (static_cast<uint64_t>(static_cast<int64_t>(peOffset)) > length) return 0;

    // The optional header's magic says how long the headers are: a PE32+
    // image's are 16 bytes longer, and one cut inside them is as short as a
    // PE32 image cut inside its own.
    uint8_t pe[package::kPeHeadersSize64] = {};
    DWORD got = 0;
    if (!SeekTo(file, peOffset, CFile::begin) || !ReadUpTo(file, pe, sizeof(pe), got)) return 0;
    DWORD size = static_cast<DWORD>(package::PeHeadersSize(pe, got));
    if (!IsWhole(got < size ? got : size, size, L"PE headers")) return 0;
    uint32_t certificateOffset = 0;
    int32_t certificateLength = 0;
    // The unpacker ships as a 32-bit image; the same sources also build as a
    // 64-bit one, whose data directories lie further on. Any other image is
    // not one of ours, and its bytes there mean nothing.
    if (!package::ParseSecurityDirectory(pe, size, certificateOffset, certificateLength)) {
        CUtility::Log(L"[%s] Not a PE32 or PE32+ image (optional header magic 0x%04X)", kCaller,
                      static_cast<unsigned>(package::ParseOptionalMagic(pe, size)));
        return 0;
    }
    CUtility::Log(L"[%s] Sign Size:%d", kCaller, certificateLength);

    uint64_t distance = package::TrailerDistanceFromEnd(certificateLength);
    if (distance > length) {
        CUtility::Log(L"[%s] Trailer distance %lld exceeds file length %lld", kCaller,
                      static_cast<long long>(distance), static_cast<long long>(length));
        return 0;
    }
    uint64_t trailerStart = length - distance;

    uint8_t trailer[package::kRecordSize] = {};
    if (!SeekTo(file, static_cast<LONGLONG>(trailerStart), CFile::begin) ||
        !ReadWhole(file, trailer, sizeof(trailer), L"Trailer"))
        return 0;
    uint64_t headerOffset = 0;
    package::ParseTrailerHeaderOffset(trailer, sizeof(trailer), headerOffset);
    CUtility::Log(L"[%s] Header offset:%d", kCaller, static_cast<int>(static_cast<uint32_t>(headerOffset)));

    // The entries lie ahead of the trailer; an offset at or behind it comes
    // from a damaged or foreign file, and reading there would take the
    // trailer or the certificate table for entries.
    if (headerOffset >= trailerStart) {
        if (headerOffset != 0)
            CUtility::Log(L"[%s] Header offset %lld not ahead of the trailer at %lld", kCaller,
                          static_cast<long long>(headerOffset), static_cast<long long>(trailerStart));
        return 0;
    }
    package::ParseTrailer(trailer, sizeof(trailer), found);
    foundAt = trailerStart;
    return headerOffset;
}

}  // namespace

uint64_t CUnPack::FindHeader() {
    CFile package;
    return FindHeader(package);
}

uint64_t CUnPack::FindHeader(CFile& package) {
    trailer = package::TrailerRecord();
    trailerStart = 0;
    std::wstring path = PackagePath();
    CUtility::Log(L"[%s] Name:%s", kCaller, path.c_str());

    CFileException error;
    // Writers are denied for as long as the handle is open, and the file
    // cannot be renamed or deleted meanwhile: what the trailer names, the
    // check proves and the copy writes are the same bytes of the same file.
    // A running image may be opened so; only a writer that already holds the
    // file keeps it from opening.
    if (!package.Open(path, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary, &error)) {
        CUtility::Log(L"[%s] Fail", kCaller);
        CUtility::FileException(error);
        return 0;
    }
    return ReadHeaderOffset(package, trailer, trailerStart);
}
