// Process-level figures of a program run under Wine: the median wall time of
// several runs, and the peak private memory (peak commit charge) of the last.
// Memory is sampled every 5 ms, which adds a little to the wall time; compare
// times only with times measured the same way.
// Usage: process_bench <runs> <program> [arguments...]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: process_bench <runs> <program> [arguments...]\n");
        return 2;
    }
    int runs = _wtoi(argv[1]);
    std::wstring commandLine = L"\"" + std::wstring(argv[2]) + L"\"";
    for (int i = 3; i < argc; ++i) commandLine += L" \"" + std::wstring(argv[i]) + L"\"";

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    SIZE_T peakPrivate = 0;
    DWORD exitCode = 0;
    for (int i = 0; i < runs; ++i) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
        line.push_back(L'\0');
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            std::fprintf(stderr, "cannot start %ls (%lu)\n", argv[2], GetLastError());
            return 1;
        }
        // Sampled while the program runs: once it has ended, Wine no longer
        // reports its counters. The peak commit charge is its peak private memory.
        SIZE_T peak = 0;
        DWORD waited = 0;
        for (;;) {
            PROCESS_MEMORY_COUNTERS_EX counters = {};
            counters.cb = sizeof(counters);
            if (GetProcessMemoryInfo(process.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                     sizeof(counters))) {
                peak = std::max<SIZE_T>(peak, counters.PeakPagefileUsage);
                peak = std::max<SIZE_T>(peak, counters.PrivateUsage);
            }
            if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) break;
            waited += 5;
            if (waited > 600000) {
                TerminateProcess(process.hProcess, 1);
                std::fprintf(stderr, "time limit reached\n");
                return 1;
            }
        }
        QueryPerformanceCounter(&end);
        times.push_back(double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
        peakPrivate = peak;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::sort(times.begin(), times.end());
    std::printf("runs: %d  median: %.3f s  min: %.3f s  peak private: %lu KiB  exit code: %lu\n", runs,
                times[times.size() / 2], times.front(), static_cast<unsigned long>(peakPrivate / 1024),
                static_cast<unsigned long>(exitCode));
    return 0;
}
