// Extraction speed: the unpacker's copy of one entry against two references on
// the same bytes, in the same Wine session, with a warm page cache:
//   - the floor the copy contract allows: a bare loop of 1,024-byte ReadFile/WriteFile
//   - the platform's limit: CopyFileW
// and the package check before it: the check alone, the whole extraction with
// and without it (the same package with the writer's marker cleared), and the
// platform's SHA-256 over the same bytes read in chunks of several sizes.
// Usage: extract_bench <work folder> [bytes] [runs]
#include "framework/File.h"
#include "tools/package/PackageWriter.h"
#include "unpack/UnPack.h"
#include "unpack/layout/PackageLayout.h"
#include "utility/Sha256.h"
#include "utility/Utility.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

bool MakeInput(const std::wstring& path, unsigned long long bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<unsigned char> block(1 << 16);
    unsigned int state = 12345;
    unsigned long long left = bytes;
    bool ok = true;
    while (left > 0 && ok) {
        for (auto& b : block) b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24);
        DWORD chunk = static_cast<DWORD>(std::min<unsigned long long>(left, block.size()));
        DWORD written = 0;
        ok = WriteFile(file, block.data(), chunk, &written, nullptr) && written == chunk;
        left -= chunk;
    }
    CloseHandle(file);
    return ok;
}

double BareLoop(const std::wstring& from, const std::wstring& to) {
    LARGE_INTEGER start = Now();
    HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    char buffer[1024];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        DWORD written = 0;
        WriteFile(out, buffer, got, &written, nullptr);
    }
    CloseHandle(out);
    CloseHandle(in);
    return Seconds(start, Now());
}

double PlatformCopy(const std::wstring& from, const std::wstring& to) {
    LARGE_INTEGER start = Now();
    CopyFileW(from.c_str(), to.c_str(), FALSE);
    return Seconds(start, Now());
}

// The unpacker's own check of the package, as UnPackFiles runs it.
double Check(const std::wstring& packaged, bool& intact) {
    LARGE_INTEGER start = Now();
    CUnPack unpack(packaged);
    unpack.FindHeader();
    CFile file;
    intact = file.Open(packaged, CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary) && unpack.CheckPackage(file);
    return Seconds(start, Now());
}

double HashInChunks(const std::wstring& path, DWORD chunk) {
    LARGE_INTEGER start = Now();
    HANDLE in = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<unsigned char> buffer(chunk);
    unsigned char digest[CSha256::kDigestSize];
    CSha256 sha;
    sha.Init();
    DWORD got = 0;
    while (ReadFile(in, buffer.data(), chunk, &got, nullptr) && got > 0) sha.Update(buffer.data(), got);
    sha.Final(digest);
    CloseHandle(in);
    return Seconds(start, Now());
}

// A copy of the package whose trailer does not carry the writer's marker: the
// unpacker extracts it without the check.
bool WriteUnmarked(const std::wstring& from, const std::wstring& to) {
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
    HANDLE file = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = -static_cast<LONGLONG>(package::kRecordSize);
    char zeros[sizeof(package::kTrailerMagic)] = {};
    DWORD written = 0;
    bool ok = SetFilePointerEx(file, at, nullptr, FILE_END) && WriteFile(file, zeros, sizeof(zeros), &written, nullptr);
    CloseHandle(file);
    return ok && written == sizeof(zeros);
}

double Extract(const std::wstring& packaged, const std::wstring& work, std::wstring& output, bool& extracted) {
    CUnPack unpack(packaged);
    // Prepare the unpack folder outside the timing: the first run of a
    // process would otherwise also pay for removing the previous output.
    output = unpack.GetUnPackPath();
    SetCurrentDirectoryW(work.c_str());
    LARGE_INTEGER start = Now();
    extracted = unpack.UnPackFiles() == 1;
    return Seconds(start, Now());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring work = argc > 1 ? argv[1] : L"C:\\bench";
    unsigned long long bytes = argc > 2 ? _wcstoui64(argv[2], nullptr, 10) : 54434322ull;
    int runs = argc > 3 ? _wtoi(argv[3]) : 5;
    CreateDirectoryW(work.c_str(), nullptr);

    std::wstring input = work + L"\\package1.cab";
    std::wstring packaged = work + L"\\packaged.bin";
    if (!MakeInput(input, bytes)) {
        std::fprintf(stderr, "cannot write %ls\n", input.c_str());
        return 1;
    }
    // Any file serves as the stub: the reader needs only its DOS and PE fields,
    // and this program's own image has them. The entry is random bytes named
    // like a cabinet, which the release check would refuse; only the copy is
    // measured here, never an expansion.
    std::wstring unmarked = work + L"\\unmarked.bin";
    std::string error;
    if (!package::PackFiles(Narrow(CUtility::GetModulePath()), {Narrow(input)}, Narrow(packaged), error,
                           package::UncheckedForTests())) {
        std::fprintf(stderr, "pack: %s\n", error.c_str());
        return 1;
    }
    if (!WriteUnmarked(packaged, unmarked)) {
        std::fprintf(stderr, "cannot write %ls\n", unmarked.c_str());
        return 1;
    }

    // Warm the page cache for both files.
    BareLoop(input, work + L"\\warm.bin");
    BareLoop(packaged, work + L"\\warm.bin");

    BareLoop(unmarked, work + L"\\warm.bin");

    const DWORD chunks[] = {1024, 16 * 1024, 64 * 1024, 256 * 1024};
    std::vector<double> bare, platform, unpacker, checked, check, hashed[4];
    std::wstring output;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(BareLoop(input, work + L"\\bare.bin"));
        platform.push_back(PlatformCopy(input, work + L"\\copy.bin"));
        bool ok = false, okChecked = false, intact = false;
        unpacker.push_back(Extract(unmarked, work, output, ok));
        checked.push_back(Extract(packaged, work, output, okChecked));
        check.push_back(Check(packaged, intact));
        if (!ok || !okChecked || !intact) {
            std::fprintf(stderr, "extraction or check failed\n");
            return 1;
        }
        for (int c = 0; c < 4; ++c) hashed[c].push_back(HashInChunks(packaged, chunks[c]));
    }

    double b = Median(bare), p = Median(platform), u = Median(unpacker), w = Median(checked), k = Median(check);
    std::printf("entry bytes:              %llu\n", bytes);
    std::printf("runs (median of):         %d\n", runs);
    std::printf("unpacker UnPackFiles:     %.3f s\n", u);
    std::printf("bare 1 KiB loop:          %.3f s\n", b);
    std::printf("CopyFileW:                %.3f s\n", p);
    std::printf("unpacker / bare loop:     %.2f\n", u / b);
    std::printf("unpacker / CopyFileW:     %.2f\n", u / p);
    std::printf("bare loop / CopyFileW:    %.2f\n", b / p);
    std::printf("package check alone:      %.3f s\n", k);
    std::printf("extraction with check:    %.3f s (without: %.3f s)\n", w, u);
    std::printf("with / without check:     %.2f\n", w / u);
    std::printf("check / extraction alone: %.2f\n", k / u);
    for (int c = 0; c < 4; ++c)
        std::printf("SHA-256 in %3lu KiB reads: %.3f s\n", static_cast<unsigned long>(chunks[c] / 1024),
                    Median(hashed[c]));
    DeleteFileW((output + L"package1.cab").c_str());
    for (const wchar_t* name : {L"\\bare.bin", L"\\copy.bin", L"\\warm.bin", L"\\packaged.bin", L"\\unmarked.bin", L"\\package1.cab"})
        DeleteFileW((work + name).c_str());
    return 0;
}
