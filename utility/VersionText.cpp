#include "utility/VersionText.h"

namespace {

bool IsScanSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// One "%d" of the formatted-input rules. The digits accumulate in 32 bits with
// wrap-around, as the Windows C runtime's scanf accumulates them, so a number
// too large for 32 bits keeps its value modulo 2^32 ("4294967297" reads as 1);
// the sign is applied afterwards ("-1" reads as 4294967295). Done by hand so
// that the result does not depend on which C runtime the build links.
bool ScanNumber(const wchar_t*& p, uint32_t& value) {
    const wchar_t* q = p;
    while (IsScanSpace(*q)) ++q;
    bool negative = false;
    if (*q == L'+' || *q == L'-') {
        negative = *q == L'-';
        ++q;
    }
    if (!IsDigit(*q)) return false;
    uint32_t number = 0;
    while (IsDigit(*q)) {
        number = number * 10u + static_cast<uint32_t>(*q - L'0');
        ++q;
    }
    value = negative ? 0u - number : number;
    p = q;
    return true;
}

}  // namespace

int ScanVersionText(const wchar_t* text, uint32_t fields[4]) {
    if (text == nullptr) return 0;
    const wchar_t* p = text;
    int stored = 0;
    while (stored < 4) {
        // Every number but the first must follow its dot directly after the
        // previous number; white space is allowed only after the dot.
        if (stored > 0) {
            if (*p != L'.') break;
            ++p;
        }
        uint32_t value = 0;
        if (!ScanNumber(p, value)) break;
        fields[stored++] = value;
    }
    return stored;
}
