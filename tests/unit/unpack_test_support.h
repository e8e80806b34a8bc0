// Shared by the unpacker's and the folder helpers' tests: scratch folders,
// package files built byte by byte with the layout structs, unpack.log as this
// process wrote it, Unix helpers started through Wine, and a watcher that
// presses OK on the message boxes this process shows.
#pragma once

#include "tests/harness/Scenario.h"

#include "framework/Handle.h"
#include "unpack/layout/PackageLayout.h"
#include "unpack/layout/PackageParse.h"
#include "utility/Sha256.h"
#include "utility/Utility.h"

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace unpacktest {

using Bytes = std::vector<uint8_t>;

inline bool WriteBytes(const std::wstring& path, const Bytes& bytes) {
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (bytes.empty()) return true;
    return ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

inline bool ReadBytes(const std::wstring& path, Bytes& bytes) {
    bytes.clear();
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.Get(), &size)) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (bytes.empty()) return true;
    return ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
           got == bytes.size();
}

inline bool WriteText(const std::wstring& path, const std::string& text) {
    return WriteBytes(path, Bytes(text.begin(), text.end()));
}

// Removes a tree the test made, read-only entries included (the product's own
// removal keeps those on purpose), without following links.
using scenario::IsReparsePoint;
using scenario::MakeSymbolicLink;
using scenario::UnixPathOf;
using scenario::WaitUntil;
inline bool StartUnix(const std::wstring& program, const std::wstring& arguments);
inline std::wstring Narrow(const std::string& text) { return std::wstring(text.begin(), text.end()); }

inline void ForceRemoveTree(const std::wstring& path) {
    // Under Wine, rm removes links as links; Wine's own RemoveDirectoryW and
    // DeleteFileW follow a Unix link to its target.
    // The program runs on its own, unwaited: starting it for a path that is
    // not there would let it remove what the caller creates next.
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    std::string unixPath = UnixPathOf(path);
    if (!unixPath.empty() && StartUnix(L"/bin/rm", L"-rf \"" + Narrow(unixPath) + L"\"")) {
        // rm removes the top folder last: once it is gone, so is the rest.
        WaitUntil([&] { return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
        return;
    }
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileW(path.c_str());
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW found;
        ScopedFindHandle search(::FindFirstFileW((path + L"\\*").c_str(), &found));
        if (search) {
            do {
                if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
                ForceRemoveTree(path + L"\\" + found.cFileName);
            } while (::FindNextFileW(search.Get(), &found));
        }
    }
    ::RemoveDirectoryW(path.c_str());
}

// A fresh, empty folder C:\unpacker-tests\<name>.
inline std::wstring ScratchFolder(const std::wstring& name) {
    std::wstring path = L"C:\\unpacker-tests\\" + name;
    ForceRemoveTree(path);
    ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return path;
}

inline std::wstring ProgramFilesX86() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, buffer))) return std::wstring();
    return buffer;
}

// The folder the product always unpacks into, with its trailing backslash.
inline std::wstring UnpackFolder() { return ProgramFilesX86() + L"\\Kestrune\\Kestrune Remote\\AutoUpdate\\"; }

// Program Files\Kestrune as a run leaves it is machine-wide: tests remove it.
inline void ResetUnpackFolder() { ForceRemoveTree(ProgramFilesX86() + L"\\Kestrune"); }

// ---- Package files ---------------------------------------------------------

struct TestEntry {
    std::string name;          // raw bytes of the name field (up to 260, no NUL needed at 260)
    Bytes data;                // what follows the record
    bool claimSize = false;    // record a size other than data.size()
    uint64_t claimedSize = 0;
};

struct TestPackage {
    size_t imageSize = 1024;   // bytes of the stand-in image ahead of the first record
    std::vector<TestEntry> entries;
    bool overrideCount = false;
    int32_t entryCount = 0;
    Bytes certificate;                 // appended behind the trailer
    bool overrideCertificateField = false;
    uint32_t certificateField = 0;     // the security directory's size field
    bool overrideHeaderOffset = false;
    uint64_t headerOffset = 0;         // what the trailer names
    // With our writer's marker, format 1 and the package's length and SHA-256,
    // so that the unpacker checks it; otherwise another writer's trailer.
    bool marked = false;
};

constexpr int32_t kPeOffset = 0x80;

// A stand-in image: a DOS header naming the PE headers at 0x80, the 248 bytes
// of signature, file header and 32-bit optional header, and padding.
inline Bytes MakeImage(size_t size, uint32_t certificateOffset, uint32_t certificateLength) {
    Bytes image(size < kPeOffset + package::kPeHeadersSize ? kPeOffset + package::kPeHeadersSize : size, 0);
    image[0] = 'M';
    image[1] = 'Z';
    package::WriteLE32(&image[package::kPeOffsetField], kPeOffset);
    std::memcpy(&image[kPeOffset], "PE\0\0", 4);
    image[kPeOffset + package::kOptionalMagicField] = package::kPe32Magic & 0xFF;
    image[kPeOffset + package::kOptionalMagicField + 1] = package::kPe32Magic >> 8;
    package::WriteLE32(&image[kPeOffset + package::kSecurityOffsetField], certificateOffset);
    package::WriteLE32(&image[kPeOffset + package::kSecuritySizeField], certificateLength);
    for (size_t i = kPeOffset + package::kPeHeadersSize; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    return image;
}

inline Bytes MakeRecord(int32_t count, uint64_t size, const std::string& name) {
    Bytes record(package::kRecordSize, 0);
    package::WriteLE32(&record[0], static_cast<uint32_t>(count));
    package::WriteLE32(&record[4], package::kRecordMarker);
    package::WriteLE64(&record[8], size);
    package::WriteLE64(&record[16], size);
    std::memcpy(&record[24], name.data(), name.size() < package::kNameSize ? name.size() : package::kNameSize);
    return record;
}

inline Bytes MakeData(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    return data;
}

// Lays out image, records and data, filler to a multiple of 8, the trailer and
// the certificate bytes; headerOffset receives where record 1 lies.
inline Bytes BuildPackage(const TestPackage& contents, uint64_t* headerOffset = nullptr) {
    Bytes file = MakeImage(contents.imageSize, 0, 0);
    uint64_t first = file.size();
    int32_t count = contents.overrideCount ? contents.entryCount : static_cast<int32_t>(contents.entries.size());
    for (const TestEntry& entry : contents.entries) {
        Bytes record = MakeRecord(count, entry.claimSize ? entry.claimedSize : entry.data.size(), entry.name);
        file.insert(file.end(), record.begin(), record.end());
        file.insert(file.end(), entry.data.begin(), entry.data.end());
    }
    while ((file.size() + package::kRecordSize) % package::kAlignment != 0) file.push_back(0);
    package::TrailerRecord fields = {};
    fields.headerOffset = contents.overrideHeaderOffset ? contents.headerOffset : first;
    CSha256 sha;
    if (contents.marked && sha.Init() && sha.Update(&file[first], file.size() - first) && sha.Final(fields.sha256)) {
        std::memcpy(fields.magic, package::kTrailerMagic, sizeof(fields.magic));
        fields.formatVersion = package::kTrailerFormatVersion;
        fields.packageLength = file.size() - first;
    }
    Bytes trailer(package::kRecordSize, 0);
    package::EncodeTrailer(fields, trailer.data());
    file.insert(file.end(), trailer.begin(), trailer.end());
    uint32_t certificateOffset = contents.certificate.empty() ? 0 : static_cast<uint32_t>(file.size());
    file.insert(file.end(), contents.certificate.begin(), contents.certificate.end());
    uint32_t field = contents.overrideCertificateField ? contents.certificateField
                                                   : static_cast<uint32_t>(contents.certificate.size());
    package::WriteLE32(&file[kPeOffset + package::kSecurityOffsetField], certificateOffset);
    package::WriteLE32(&file[kPeOffset + package::kSecuritySizeField], field);
    if (headerOffset != nullptr) *headerOffset = first;
    return file;
}

// ---- unpack.log ------------------------------------------------------------

// %TEMP%\unpack.log is shared by every run on the account: tests empty it.
inline void ResetLog() { ::DeleteFileW(CUtility::GetLogFilePath().c_str()); }

// The messages (between the two blanks and " (Last=") of this process's lines.
inline std::vector<std::wstring> LogMessages() {
    std::vector<std::wstring> messages;
    Bytes bytes;
    if (!ReadBytes(CUtility::GetLogFilePath(), bytes)) return messages;
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * 2);
    std::wstring prefix = L"[" + std::to_wstring(::GetCurrentProcessId()) + L"]";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 2;
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        size_t blanks = line.find(L"  ");
        size_t last = line.rfind(L" (Last=");
        if (blanks == std::wstring::npos || last == std::wstring::npos || last < blanks + 2) continue;
        messages.push_back(line.substr(blanks + 2, last - blanks - 2));
    }
    return messages;
}

inline bool HasMessage(const std::vector<std::wstring>& messages, const std::wstring& message) {
    for (const std::wstring& m : messages)
        if (m == message) return true;
    return false;
}

inline size_t CountStartingWith(const std::vector<std::wstring>& messages, const std::wstring& start) {
    size_t count = 0;
    for (const std::wstring& m : messages)
        if (m.compare(0, start.size(), start) == 0) ++count;
    return count;
}

// ---- Unix helpers under Wine -----------------------------------------------

// Starts a Unix program: Wine runs ELF binaries through CreateProcessW, but
// hands back no process handle, so callers wait for the program's effect.
inline bool StartUnix(const std::wstring& program, const std::wstring& arguments) {
    return scenario::StartUnixProgram(program, arguments);
}

// ---- Message boxes ---------------------------------------------------------

struct SeenBox {
    std::wstring caption;
    std::wstring text;
    bool hasIcon = false;
    std::vector<int> buttons;  // ids of the visible push buttons
    HWND owner = nullptr;
    DWORD threadId = 0;
};

// Watches this process for dialog boxes, records each and presses OK on it.
class BoxWatcher {
public:
    BoxWatcher() : worker_([this] { Watch(); }) {}
    ~BoxWatcher() { Stop(); }
    void Stop() {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
    }
    const std::vector<SeenBox>& Boxes() const { return boxes_; }

private:
    static BOOL CALLBACK Find(HWND window, LPARAM found) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(window, &process);
        wchar_t className[64] = {};
        ::GetClassNameW(window, className, 64);
        if (process == ::GetCurrentProcessId() && wcscmp(className, L"#32770") == 0 && ::IsWindowVisible(window)) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    }

    static SeenBox Describe(HWND box) {
        SeenBox seen;
        wchar_t text[1024] = {};
        ::GetWindowTextW(box, text, 1024);
        seen.caption = text;
        text[0] = L'\0';
        ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
        seen.text = text;
        // The icon is a static control: id 0x440 in Wine, 0x14 on Windows.
        for (int id : {0x440, 0x14}) {
            HWND icon = ::GetDlgItem(box, id);
            // Wine keeps the control visible in a box without an icon, empty.
            if (icon != nullptr && ::IsWindowVisible(icon) &&
                (::GetWindowLongW(icon, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                ::SendMessageW(icon, STM_GETICON, 0, 0) != 0)
                seen.hasIcon = true;
        }
        for (int id = IDOK; id <= IDCONTINUE; ++id) {
            HWND button = ::GetDlgItem(box, id);
            if (button != nullptr && ::IsWindowVisible(button)) seen.buttons.push_back(id);
        }
        seen.owner = ::GetWindow(box, GW_OWNER);
        seen.threadId = ::GetWindowThreadProcessId(box, nullptr);
        return seen;
    }

    void Watch() {
        HWND last = nullptr;
        while (!stop_) {
            HWND box = nullptr;
            ::EnumWindows(Find, reinterpret_cast<LPARAM>(&box));
            if (box != nullptr && box != last) {
                boxes_.push_back(Describe(box));
                last = box;
                ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                               reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
            }
            ::Sleep(50);
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<SeenBox> boxes_;
    std::thread worker_;
};

}  // namespace unpacktest
