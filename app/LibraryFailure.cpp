// What the C++ library does when it cannot do what it was asked: the product is
// built without exceptions, so a failed allocation or an impossible request
// (a string longer than its maximum, a position outside it) ends the run here,
// with a line in the log, instead of reaching the library's exception and
// unwinding machinery. Linked into UnPackFile.exe only; the tests and tools keep
// the library's own behaviour. The exit code is abort()'s, as it was when such
// an exception went uncaught.
#include <windows.h>

#include <cstdlib>
#include <new>

#include "utility/Utility.h"

namespace {

constexpr UINT kLibraryFailureExitCode = 3;

[[noreturn]] void EndRun(const wchar_t* caller, const char* what) {
    CUtility::LogFatal(caller, what);
    ::ExitProcess(kLibraryFailureExitCode);
}

void* Allocate(std::size_t size) {
    // malloc(0) may return null; a zero-byte request still gets its own address.
    return std::malloc(size != 0 ? size : 1);
}

void* AllocateOrEnd(std::size_t size) {
    void* block = Allocate(size);
    if (block == nullptr) EndRun(L"operator new", "out of memory");
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrEnd(size); }
void* operator new[](std::size_t size) { return AllocateOrEnd(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }

// The library's own throwing paths, which its headers call by these names.
namespace std {
void __throw_bad_alloc() { EndRun(L"operator new", "out of memory"); }
void __throw_bad_array_new_length() { EndRun(L"operator new[]", "array length out of range"); }
void __throw_length_error(const char* what) { EndRun(L"length_error", what); }
void __throw_logic_error(const char* what) { EndRun(L"logic_error", what); }
void __throw_out_of_range(const char* what) { EndRun(L"out_of_range", what); }
void __throw_out_of_range_fmt(const char* what, ...) { EndRun(L"out_of_range", what); }
void __throw_invalid_argument(const char* what) { EndRun(L"invalid_argument", what); }
}  // namespace std
