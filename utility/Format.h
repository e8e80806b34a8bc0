// printf-style formatting of wide text with the conventions of the Windows CRT's
// wide functions: "%s" takes wide text ("%hs" and "%S" take 8-bit text), "%lld"
// and "%I64d" take 64-bit integers. The product formats all its log lines and
// paths through these functions, so the meaning of "%s" never depends on which C
// runtime or which MinGW printf emulation the build picked.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Appends the formatted text to out.
void AppendFormatV(std::wstring& out, const wchar_t* format, va_list args);

std::wstring FormatV(const wchar_t* format, va_list args);
std::wstring Format(const wchar_t* format, ...);

// Writes at most capacity - 1 characters and always terminates the buffer
// (capacity 0 writes nothing). Returns the number of characters written, or -1
// when the text had to be cut to fit.
int FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
int FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
