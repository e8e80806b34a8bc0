// Extraction: every entry of the package is copied into the unpack folder
// after a free-space check, on the worker thread the driver waits for.
#include "unpack/UnPack.h"

#include "framework/File.h"
#include "framework/StringResource.h"
#include "resources/resource.h"
#include "unpack/layout/PackageParse.h"
#include "utility/Utility.h"

#include <cstring>

namespace {

const wchar_t kCaller[] = L"CUnPack::UnPackFiles";

// Same size as the classic copy loop; every read and write is one synchronous
// call of at most this many bytes, with nothing buffered in between.
constexpr DWORD kCopyChunk = 1024;

// The free bytes of the current directory's volume: all of them, not only
// those the calling user may take. previous stands when the query fails.
uint64_t FreeSpaceOfCurrentVolume(uint64_t previous) {
    ULARGE_INTEGER available, total, totalFree;
    if (!::GetDiskFreeSpaceExW(nullptr, &available, &total, &totalFree)) return previous;
    return totalFree.QuadPart;
}

void ShowDiskSpaceRefusal() {
    std::wstring caption = LoadStringResource(IDS_PRODUCT_NAME);
    std::wstring text = LoadStringResource(IDS_NOT_ENOUGH_DISK_SPACE);
    CUtility::Log(L"[%s] %s", kCaller, text.c_str());
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

// The record's name in the thread's ANSI code page, bounded to its field.
std::wstring EntryName(const std::string& name) {
    wchar_t wide[package::kNameSize + 1] = {};
    if (name.empty()) return std::wstring();
    int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, name.data(), static_cast<int>(name.size()), wide,
                                       static_cast<int>(package::kNameSize));
    return std::wstring(wide, length > 0 ? static_cast<size_t>(length) : 0);
}

// Copies size bytes from the package into the output. A package that ends
// early leaves a shorter file; a failed read, write or close is an error.
bool CopyEntry(CFile& package, CFile& output, uint64_t size) {
    uint8_t buffer[kCopyChunk];
    std::memset(buffer, 0, sizeof(buffer));
    CFileException error;
    uint64_t chunks = size / kCopyChunk;
    DWORD remainder = static_cast<DWORD>(size % kCopyChunk);
    for (uint64_t i = 0; i <= chunks; ++i) {
        DWORD want = i < chunks ? kCopyChunk : remainder;
        if (want == 0) break;
        DWORD got = 0;
        if (!package.Read(buffer, want, got, &error) || !output.Write(buffer, got, &error)) {
            CUtility::FileException(error);
            return false;
        }
        // Every later read would deliver nothing as well; a size far beyond
        // the file's end must not cost one empty read per kilobyte.
        if (got == 0) break;
    }
    return true;
}

}  // namespace

int CUnPack::UnPackFiles() {
    int result = 0;
    // One handle from the trailer to the last entry: a second open by path
    // could meet another file renamed into its place.
    CFile package;
    uint64_t headerOffset = FindHeader(package);
    if (headerOffset == 0) return result;

    CFileException error;
    // A damaged package is refused whole: not one of its entries is written.
    // The thread's last error is put back after the check, so that the log of
    // an intact package reads exactly as it did before there was a check.
    DWORD lastError = ::GetLastError();
    if (!CheckPackage(package)) return result;
    ::SetLastError(lastError);
    if (!package.Seek(static_cast<LONGLONG>(headerOffset), CFile::begin, nullptr, &error)) {
        CUtility::FileException(error);
        return result;
    }

    uint8_t recordBytes[package::kRecordSize];
    std::memset(recordBytes, 0, sizeof(recordBytes));
    int entryNumber = 0;
    uint64_t freeSpace = 0;
    for (;;) {
        DWORD got = 0;
        if (!package.Read(recordBytes, sizeof(recordBytes), got, &error)) {
            CUtility::FileException(error);
            return result;
        }
        if (got == 0) break;
        // A record cut off inside its 284 bytes is where the package ends.
        if (got < sizeof(recordBytes)) {
            CUtility::Log(L"[%s] Entry record cut off: %d of %d bytes", kCaller, static_cast<int>(got),
                          static_cast<int>(sizeof(recordBytes)));
            break;
        }
        package::EntryRecord record;
        std::string rawName;
        package::ParseEntryRecord(recordBytes, sizeof(recordBytes), record, rawName);
        if (entryNumber >= record.entryCount) break;

        freeSpace = FreeSpaceOfCurrentVolume(freeSpace);
        CUtility::Log(L"[%s]  FreeSpace:%lld FileSize:%lld", kCaller, static_cast<long long>(freeSpace),
                      static_cast<long long>(record.dataSize));
        if (freeSpace < record.dataSize) {
            ShowDiskSpaceRefusal();
            package.Close();
            return result;
        }

        std::wstring name = EntryName(rawName);
        std::wstring outputPath = GetUnPackPath() + name;
        // Nothing goes into a folder that others may have made or changed.
        if (unpackFolderRefused) return result;
        ++entryNumber;
        CUtility::Log(L"[%s] (%d/%d)UnPack file name:%s (%d)", kCaller, entryNumber, record.entryCount,
                      outputPath.c_str(), static_cast<int>(static_cast<uint32_t>(record.dataSize)));

        CFile output;
        bool opened = false;
        // A name that is empty, climbs out of the folder or names a device
        // would write somewhere other than the unpack folder: refused like a
        // path the platform rejects.
        bool nameAccepted = package::IsSafeEntryName(name);
        if (!nameAccepted)
            error = CFileException(CFileException::badPath, 0, outputPath);
        else
            opened = output.Open(outputPath, CFile::modeWrite | CFile::modeCreate | CFile::shareExclusive |
                                                 CFile::typeBinary, &error);

        if (opened) {
            if (!CopyEntry(package, output, record.dataSize)) return result;
            ULONGLONG length = 0;
            output.GetLength(length);
            CUtility::Log(L"[%s] UnPack count:%d len:%d File:%s", kCaller, entryNumber,
                          static_cast<int>(static_cast<uint32_t>(length)), output.GetFilePath().c_str());
            if (!output.Close(&error)) {
                CUtility::FileException(error);
                return result;
            }
        } else {
            CUtility::FileException(error);
            // The platform refused a name we accepted (one too long for a path
            // never reached it) while something of that name stands in the
            // folder: a leftover the folder could not be emptied of, such as a
            // read-only file. Going on would leave it in this entry's place, and
            // the installation commands would take the previous upgrade's file
            // for this package's. Its attributes are not cleared to write
            // anyway: it may be a hard link to data elsewhere.
            if (nameAccepted && error.m_lOsError != 0 && CUtility::FileExists(outputPath)) {
                CUtility::Log(L"[%s] Cannot replace what stands in the unpack folder: %s", kCaller, outputPath.c_str());
                return result;
            }
            // Past the data that is not written, so the next read finds the next record.
            if (record.dataSize > static_cast<uint64_t>(INT64_MAX)) {
                CUtility::Log(L"[%s] Cannot skip %lld bytes", kCaller, static_cast<long long>(record.dataSize));
                return result;
            }
            if (!package.Seek(static_cast<LONGLONG>(record.dataSize), CFile::current, nullptr, &error)) {
                CUtility::FileException(error);
                return result;
            }
        }
        if (entryNumber == record.entryCount) break;
    }

    CUtility::Log(L"[%s] UnPack total %d files.", kCaller, entryNumber);
    package.Close();
    success = 1;
    result = 1;
    return result;
}
