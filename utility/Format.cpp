#include "utility/Format.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

struct Conversion {
    bool leftAlign = false;
    bool plus = false;
    bool space = false;
    bool zeroPad = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    enum Length { normal, shortInt, charInt, longInt, longLong, narrow, wide } length = normal;
};

void Pad(std::wstring& out, size_t count, wchar_t c) { out.append(count, c); }

void EmitField(std::wstring& out, const Conversion& conversion, const std::wstring& body) {
    size_t width = conversion.width > 0 ? static_cast<size_t>(conversion.width) : 0;
    if (body.size() >= width) {
        out += body;
    } else if (conversion.leftAlign) {
        out += body;
        Pad(out, width - body.size(), L' ');
    } else {
        Pad(out, width - body.size(), L' ');
        out += body;
    }
}

void EmitInteger(std::wstring& out, const Conversion& conversion, bool negative, uint64_t magnitude, unsigned base,
                 bool upper, const wchar_t* prefix) {
    wchar_t digits[72];
    int count = 0;
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[count++] = set[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    std::wstring number;
    int precision = conversion.precision;
    if (precision == 0 && count == 1 && digits[0] == L'0') count = 0;  // "%.0d" of 0 prints nothing
    for (int i = count; i < precision; ++i) number += L'0';
    for (int i = count - 1; i >= 0; --i) number += digits[i];

    std::wstring sign;
    if (negative)
        sign = L"-";
    else if (conversion.plus)
        sign = L"+";
    else if (conversion.space)
        sign = L" ";
    if (prefix != nullptr) sign += prefix;

    size_t width = conversion.width > 0 ? static_cast<size_t>(conversion.width) : 0;
    if (conversion.zeroPad && !conversion.leftAlign && precision < 0 && sign.size() + number.size() < width)
        number.insert(0, width - sign.size() - number.size(), L'0');
    EmitField(out, conversion, sign + number);
}

std::wstring WidenNarrow(const char* text, int precision) {
    std::wstring result;
    for (int i = 0; text[i] != '\0' && (precision < 0 || i < precision); ++i)
        result += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    return result;
}

}  // namespace

void AppendFormatV(std::wstring& out, const wchar_t* format, va_list args) {
    if (format == nullptr) return;
    va_list ap;
    va_copy(ap, args);
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            out += *p;
            continue;
        }
        const wchar_t* start = p;
        ++p;
        if (*p == L'%') {
            out += L'%';
            continue;
        }
        Conversion conversion;
        for (;; ++p) {
            if (*p == L'-') conversion.leftAlign = true;
            else if (*p == L'+') conversion.plus = true;
            else if (*p == L' ') conversion.space = true;
            else if (*p == L'0') conversion.zeroPad = true;
            else if (*p == L'#') conversion.alternate = true;
            else break;
        }
        if (*p == L'*') {
            conversion.width = va_arg(ap, int);
            if (conversion.width < 0) {
                conversion.leftAlign = true;
                conversion.width = -conversion.width;
            }
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') conversion.width = conversion.width * 10 + (*p++ - L'0');
        }
        if (*p == L'.') {
            ++p;
            conversion.precision = 0;
            if (*p == L'*') {
                conversion.precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9') conversion.precision = conversion.precision * 10 + (*p++ - L'0');
            }
        }
        if (p[0] == L'l' && p[1] == L'l') {
            conversion.length = Conversion::longLong;
            p += 2;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            conversion.length = Conversion::longLong;
            p += 3;
        } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
            p += 3;
        } else if (p[0] == L'h' && p[1] == L'h') {
            conversion.length = Conversion::charInt;
            p += 2;
        } else if (*p == L'h') {
            conversion.length = Conversion::shortInt;
            ++p;
        } else if (*p == L'l' || *p == L'w') {
            conversion.length = Conversion::longInt;
            ++p;
        }

        switch (*p) {
        case L'd':
        case L'i': {
            int64_t value = conversion.length == Conversion::longLong ? va_arg(ap, long long) : va_arg(ap, int);
            if (conversion.length == Conversion::shortInt) value = static_cast<short>(value);
            if (conversion.length == Conversion::charInt) value = static_cast<signed char>(value);
            uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            EmitInteger(out, conversion, value < 0, magnitude, 10, false, nullptr);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            uint64_t value =
                conversion.length == Conversion::longLong ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned int);
            if (conversion.length == Conversion::shortInt) value = static_cast<unsigned short>(value);
            if (conversion.length == Conversion::charInt) value = static_cast<unsigned char>(value);
            unsigned base = *p == L'u' ? 10 : (*p == L'o' ? 8 : 16);
            const wchar_t* prefix = nullptr;
            if (conversion.alternate && value != 0) prefix = *p == L'x' ? L"0x" : (*p == L'X' ? L"0X" : (*p == L'o' ? L"0" : nullptr));
            EmitInteger(out, conversion, false, value, base, *p == L'X', prefix);
            break;
        }
        case L'p': {
            Conversion pointer = conversion;
            pointer.zeroPad = true;
            pointer.width = static_cast<int>(sizeof(void*) * 2);
            EmitInteger(out, pointer, false, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), 16, true, nullptr);
            break;
        }
        case L'c':
        case L'C': {
            int value = va_arg(ap, int);
            bool narrow = (*p == L'C') ? conversion.length != Conversion::longInt : conversion.length == Conversion::shortInt;
            wchar_t c = narrow ? static_cast<wchar_t>(static_cast<unsigned char>(value)) : static_cast<wchar_t>(value);
            EmitField(out, conversion, std::wstring(1, c));
            break;
        }
        case L's':
        case L'S': {
            // In the wide functions of the Windows CRT "%s" is wide text and "%S"
            // the other width; "h" forces 8-bit text, "l" and "w" force wide text.
            bool narrow = (*p == L'S') ? conversion.length != Conversion::longInt : conversion.length == Conversion::shortInt;
            std::wstring text;
            if (narrow) {
                const char* s = va_arg(ap, const char*);
                text = WidenNarrow(s != nullptr ? s : "(null)", conversion.precision);
            } else {
                const wchar_t* s = va_arg(ap, const wchar_t*);
                if (s == nullptr) s = L"(null)";
                size_t length = wcslen(s);
                if (conversion.precision >= 0 && static_cast<size_t>(conversion.precision) < length)
                    length = static_cast<size_t>(conversion.precision);
                text.assign(s, length);
            }
            EmitField(out, conversion, text);
            break;
        }
        case L'\0':
            // A lone '%' at the end is written as it stands.
            out.append(start, p);
            --p;
            break;
        default:
            // An unknown conversion is copied through rather than guessed at.
            out.append(start, p + 1);
            break;
        }
    }
    va_end(ap);
}

std::wstring FormatV(const wchar_t* format, va_list args) {
    std::wstring out;
    AppendFormatV(out, format, args);
    return out;
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring out = FormatV(format, args);
    va_end(args);
    return out;
}

int FormatBoundedV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0) return -1;
    std::wstring text = FormatV(format, args);
    bool cut = text.size() > capacity - 1;
    size_t length = cut ? capacity - 1 : text.size();
    if (length > 0) std::memcpy(buffer, text.data(), length * sizeof(wchar_t));
    buffer[length] = L'\0';
    return cut ? -1 : static_cast<int>(length);
}

int FormatBounded(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = FormatBoundedV(buffer, capacity, format, args);
    va_end(args);
    return result;
}
