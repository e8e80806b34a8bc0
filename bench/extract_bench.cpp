// Extraction speed: the unpacker's copy of one entry against two references on
// the same bytes, in the same Wine session, with a warm page cache:
//   - the floor the copy contract allows: a bare loop of 1,024-byte ReadFile/WriteFile
//   - the platform's limit: CopyFileW
// Usage: extract_bench <work folder> [bytes] [runs]
#include "tools/package/PackageWriter.h"
#include "unpack/UnPack.h"
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
    // and this program's own image has them.
    std::string error;
    if (!package::PackFiles(Narrow(CUtility::GetModulePath()), {Narrow(input)}, Narrow(packaged), error)) {
        std::fprintf(stderr, "pack: %s\n", error.c_str());
        return 1;
    }

    // Warm the page cache for both files.
    BareLoop(input, work + L"\\warm.bin");
    BareLoop(packaged, work + L"\\warm.bin");

    std::vector<double> bare, platform, unpacker;
    std::wstring output;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(BareLoop(input, work + L"\\bare.bin"));
        platform.push_back(PlatformCopy(input, work + L"\\copy.bin"));

        CUnPack unpack(packaged);
        // Prepare the unpack folder outside the timing: the first run of a
        // process would otherwise also pay for removing the previous output.
        output = unpack.GetUnPackPath();
        SetCurrentDirectoryW(work.c_str());
        LARGE_INTEGER start = Now();
        int result = unpack.UnPackFiles();
        unpacker.push_back(Seconds(start, Now()));
        if (result != 1) {
            std::fprintf(stderr, "extraction failed\n");
            return 1;
        }
    }

    double b = Median(bare), p = Median(platform), u = Median(unpacker);
    std::printf("entry bytes:              %llu\n", bytes);
    std::printf("runs (median of):         %d\n", runs);
    std::printf("unpacker UnPackFiles:     %.3f s\n", u);
    std::printf("bare 1 KiB loop:          %.3f s\n", b);
    std::printf("CopyFileW:                %.3f s\n", p);
    std::printf("unpacker / bare loop:     %.2f\n", u / b);
    std::printf("unpacker / CopyFileW:     %.2f\n", u / p);
    std::printf("bare loop / CopyFileW:    %.2f\n", b / p);
    DeleteFileW((output + L"package1.cab").c_str());
    for (const wchar_t* name : {L"\\bare.bin", L"\\copy.bin", L"\\warm.bin", L"\\packaged.bin", L"\\package1.cab"})
        DeleteFileW((work + name).c_str());
    return 0;
}
