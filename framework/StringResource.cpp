#include "framework/StringResource.h"

std::wstring LoadStringResource(UINT id) {
    // With a zero buffer size LoadStringW hands out a pointer into the mapped
    // resource, so strings of any length are read whole.
    const wchar_t* text = nullptr;
    int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}
