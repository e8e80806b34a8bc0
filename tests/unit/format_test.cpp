// utility/Format.h against the conventions of the Windows C runtime's wide
// printf functions, which every log line and path of the product relies on.
// Each case states the expected text and is checked against msvcrt's own
// _vsnwprintf for the same format and arguments.
#include "utility/Format.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using VsnwprintfFn = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);

// msvcrt's own function, taken from the DLL: the headers of the toolchain may map
// the name onto an emulation with the C standard's meaning of "%s".
VsnwprintfFn MsvcrtVsnwprintf() {
    static VsnwprintfFn fn = [] {
        HMODULE msvcrt = ::LoadLibraryW(L"msvcrt.dll");
        return msvcrt != nullptr ? reinterpret_cast<VsnwprintfFn>(::GetProcAddress(msvcrt, "_vsnwprintf")) : nullptr;
    }();
    return fn;
}

std::wstring Msvcrt(const wchar_t* format, ...) {
    wchar_t buffer[512] = {};
    va_list args;
    va_start(args, format);
    MsvcrtVsnwprintf()(buffer, 511, format, args);
    va_end(args);
    return buffer;
}

struct Case {
    const char* name;
    std::wstring expected;
    std::function<std::wstring()> ours;
    std::function<std::wstring()> crt;
};

// The same format and arguments go to both functions.
#define FORMAT_CASE(label, expected, ...)                                             \
    Case {                                                                            \
        label, expected, [] { return Format(__VA_ARGS__); }, [] { return Msvcrt(__VA_ARGS__); } \
    }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        FORMAT_CASE("wide %s", L"[wide]", L"[%s]", L"wide"),
        FORMAT_CASE("%ls is wide", L"[wide]", L"[%ls]", L"wide"),
        FORMAT_CASE("%ws is wide", L"[wide]", L"[%ws]", L"wide"),
        FORMAT_CASE("%hs is narrow", L"[narrow]", L"[%hs]", "narrow"),
        FORMAT_CASE("%S is narrow", L"[narrow]", L"[%S]", "narrow"),
        FORMAT_CASE("null wide text", L"(null)", L"%s", static_cast<const wchar_t*>(nullptr)),
        FORMAT_CASE("empty text", L"<>", L"<%s>", L""),
        FORMAT_CASE("non-ASCII wide text", L"\u00dcber \u20ac", L"%s", L"\u00dcber \u20ac"),
        FORMAT_CASE("%d negative", L"-42", L"%d", -42),
        FORMAT_CASE("%d INT_MIN", L"-2147483648", L"%d", INT_MIN),
        FORMAT_CASE("%d INT_MAX", L"2147483647", L"%d", INT_MAX),
        FORMAT_CASE("%d of a code with the top bit set", L"-2147024891", L"%d", static_cast<int>(0x80070005u)),
        FORMAT_CASE("%i", L"17", L"%i", 17),
        FORMAT_CASE("%u large", L"4294967295", L"%u", 4294967295u),
        FORMAT_CASE("%u zero", L"0", L"%u", 0u),
        FORMAT_CASE("%lld 64-bit negative", L"-9000000000", L"%lld", -9000000000LL),
        FORMAT_CASE("%lld 64-bit min", L"-9223372036854775808", L"%lld", LLONG_MIN),
        FORMAT_CASE("%llu 64-bit max", L"18446744073709551615", L"%llu", ULLONG_MAX),
        FORMAT_CASE("%I64d", L"123456789012", L"%I64d", 123456789012LL),
        FORMAT_CASE("%I64u", L"18446744073709551615", L"%I64u", ULLONG_MAX),
        FORMAT_CASE("%lld then %d keeps the arguments in step", L"5000000000 7", L"%lld %d", 5000000000LL, 7),
        FORMAT_CASE("%x", L"deadbeef", L"%x", 0xDEADBEEFu),
        FORMAT_CASE("%X", L"DEADBEEF", L"%X", 0xDEADBEEFu),
        FORMAT_CASE("%#x", L"0x1f", L"%#x", 0x1Fu),
        FORMAT_CASE("%08X", L"0000BEEF", L"%08X", 0xBEEFu),
        FORMAT_CASE("%llx", L"123456789abcdef0", L"%llx", 0x123456789ABCDEF0ULL),
        FORMAT_CASE("%o", L"17", L"%o", 15u),
        FORMAT_CASE("%5d pads left", L"   42", L"%5d", 42),
        FORMAT_CASE("%-5d pads right", L"42   |", L"%-5d|", 42),
        FORMAT_CASE("%05d zero pad", L"00042", L"%05d", 42),
        FORMAT_CASE("%05d zero pad after the sign", L"-0042", L"%05d", -42),
        FORMAT_CASE("%02d as in the time stamp", L"2026-01-08 07:05:09", L"%04d-%02d-%02d %02d:%02d:%02d", 2026, 1, 8,
                    7, 5, 9),
        FORMAT_CASE("%+d", L"+5", L"%+d", 5),
        FORMAT_CASE("% d", L" 5", L"% d", 5),
        FORMAT_CASE("%.3d precision", L"007", L"%.3d", 7),
        FORMAT_CASE("%*d width argument", L"    9", L"%*d", 5, 9),
        FORMAT_CASE("%8s", L"    wide", L"%8s", L"wide"),
        FORMAT_CASE("%-8s|", L"wide    |", L"%-8s|", L"wide"),
        FORMAT_CASE("%.2s", L"wi", L"%.2s", L"wide"),
        FORMAT_CASE("%.2hs", L"na", L"%.2hs", "narrow"),
        FORMAT_CASE("%c", L"A", L"%c", L'A'),
        FORMAT_CASE("%hc", L"B", L"%hc", 'B'),
        FORMAT_CASE("%%", L"100%", L"100%%"),
        FORMAT_CASE("%% between fields", L"1% of 2", L"%d%% of %d", 1, 2),
        FORMAT_CASE("no conversions", L"plain text", L"plain text"),
        FORMAT_CASE("the log line", L"[2412]2026-12-08 01:43:13  [CUnPackFileApp::InitInstance] upgrade start by manual (Last=0)",
                    L"[%d]%s  %s (Last=%d)", 2412, L"2026-12-08 01:43:13",
                    L"[CUnPackFileApp::InitInstance] upgrade start by manual", 0),
        FORMAT_CASE("the log line with a negative last error", L"[7]  msg (Last=-2147024891)", L"[%d]%s  %s (Last=%d)", 7,
                    L"", L"msg", static_cast<int>(0x80070005u)),
        FORMAT_CASE("a path format", L"C:\\unpack\\..\\aulog.txt", L"%s\\..\\aulog.txt", L"C:\\unpack"),
        FORMAT_CASE("a failure line", L"[CUnPackFileApp::InitInstance] upgrade skip expand err1066",
                    L"[%s] upgrade skip expand err%d", L"CUnPackFileApp::InitInstance", 1066),
    };
    return cases;
}

TEST(FormatTest, MsvcrtIsAvailableForComparison) { ASSERT_NE(MsvcrtVsnwprintf(), nullptr); }

TEST(FormatTest, AgreesWithTheWindowsRuntime) {
    ASSERT_NE(MsvcrtVsnwprintf(), nullptr);
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::wstring ours = c.ours();
        EXPECT_EQ(ours, c.expected) << Narrow(ours);
        EXPECT_EQ(c.crt(), c.expected) << "msvcrt: " << Narrow(c.crt());
    }
}

TEST(FormatTest, AppendKeepsWhatWasThere) {
    std::wstring out = L"head:";
    auto append = [&out](const wchar_t* format, ...) {
        va_list args;
        va_start(args, format);
        AppendFormatV(out, format, args);
        va_end(args);
    };
    append(L"%d/%s", 3, L"x");
    append(L"|%hs", "y");
    EXPECT_EQ(out, L"head:3/x|y");
}

// ---- Bounded formatting -------------------------------------------------------------

// A buffer with guard characters on both sides, to prove nothing is written
// outside the capacity given.
struct GuardedBuffer {
    static constexpr size_t kGuard = 8;
    std::vector<wchar_t> storage;
    size_t capacity;

    explicit GuardedBuffer(size_t cap) : storage(cap + 2 * kGuard, L'#'), capacity(cap) {}
    wchar_t* Data() { return storage.data() + kGuard; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (storage[i] != L'#' || storage[kGuard + capacity + i] != L'#') return false;
        return true;
    }
};

TEST(FormatBoundedTest, Table) {
    struct Row {
        size_t capacity;
        const wchar_t* text;
        int result;
        const wchar_t* written;
    };
    const Row rows[] = {
        {11, L"0123456789", 10, L"0123456789"},  // fits with its terminator
        {10, L"0123456789", -1, L"012345678"},   // one short: cut and terminated
        {8, L"0123456789", -1, L"0123456"},
        {2, L"0123456789", -1, L"0"},
        {1, L"0123456789", -1, L""},
        {1, L"", 0, L""},
        {5, L"", 0, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "capacity " << row.capacity << ", text " << Narrow(row.text));
        GuardedBuffer buffer(row.capacity);
        int result = FormatBounded(buffer.Data(), row.capacity, L"%s", row.text);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(std::wstring(buffer.Data()), row.written);
        EXPECT_TRUE(buffer.GuardsIntact());
    }
}

TEST(FormatBoundedTest, ZeroCapacityWritesNothing) {
    GuardedBuffer buffer(0);
    EXPECT_EQ(FormatBounded(buffer.Data(), 0, L"%s", L"text"), -1);
    EXPECT_TRUE(buffer.GuardsIntact());
    EXPECT_EQ(FormatBounded(nullptr, 10, L"%s", L"text"), -1);
}

// The log's message buffer: 1024 characters, at most 1023 elements, so 1022
// characters of message and the terminator.
TEST(FormatBoundedTest, LogMessageLimits) {
    for (size_t length : {size_t{1021}, size_t{1022}, size_t{1023}, size_t{1024}, size_t{5000}}) {
        SCOPED_TRACE(length);
        std::wstring message(length, L'm');
        GuardedBuffer buffer(1023);
        int result = FormatBounded(buffer.Data(), 1023, L"%s", message.c_str());
        EXPECT_EQ(result, length <= 1022 ? static_cast<int>(length) : -1);
        EXPECT_EQ(wcslen(buffer.Data()), std::min<size_t>(length, 1022));
        EXPECT_TRUE(buffer.GuardsIntact());
    }
}

// Where the runtime's _snwprintf also reports truncation with -1, both agree on
// the characters that fit; ours additionally always terminates.
TEST(FormatBoundedTest, TruncationMatchesTheRuntimeWhereBothDefineIt) {
    ASSERT_NE(MsvcrtVsnwprintf(), nullptr);
    auto crt = [](wchar_t* buffer, size_t count, const wchar_t* format, ...) {
        va_list args;
        va_start(args, format);
        int result = MsvcrtVsnwprintf()(buffer, count, format, args);
        va_end(args);
        return result;
    };
    wchar_t theirs[16];
    wmemset(theirs, L'#', 16);
    wchar_t ours[16];
    EXPECT_EQ(crt(theirs, 7, L"%s-%d", L"abcdef", 12345), -1);
    EXPECT_EQ(FormatBounded(ours, 8, L"%s-%d", L"abcdef", 12345), -1);
    EXPECT_EQ(std::wstring(theirs, 7), std::wstring(ours));
    EXPECT_EQ(ours[7], L'\0');
}

}  // namespace
