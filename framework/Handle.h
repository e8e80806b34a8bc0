// Small owners for the handles of the platform: every handle is closed on every
// path, including early returns, and none can be copied by accident.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <utility>

template <typename Traits>
class ScopedHandleT {
public:
    using Type = typename Traits::Type;

    ScopedHandleT() = default;
    explicit ScopedHandleT(Type h) : handle_(h) {}
    ~ScopedHandleT() { Reset(); }

    ScopedHandleT(const ScopedHandleT&) = delete;
    ScopedHandleT& operator=(const ScopedHandleT&) = delete;
    ScopedHandleT(ScopedHandleT&& other) noexcept : handle_(other.Release()) {}
    ScopedHandleT& operator=(ScopedHandleT&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    bool IsValid() const { return Traits::IsValid(handle_); }
    explicit operator bool() const { return IsValid(); }
    Type Get() const { return handle_; }

    // For APIs that hand a new handle out through a pointer.
    Type* Receive() {
        Reset();
        return &handle_;
    }

    Type Release() {
        Type h = handle_;
        handle_ = Traits::Invalid();
        return h;
    }

    void Reset(Type h = Traits::Invalid()) {
        if (Traits::IsValid(handle_)) Traits::Close(handle_);
        handle_ = h;
    }

private:
    Type handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};

struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    // The predefined roots are never closed: they are not ours.
    // They are 32-bit values sign-extended to the pointer's width, so they are
    // compared as handles, not as numbers.
    static bool IsValid(Type h) {
        const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(h);
        return h != nullptr && !(value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
                                 value <= reinterpret_cast<ULONG_PTR>(HKEY_DYN_DATA));
    }
    static void Close(Type h) { ::RegCloseKey(h); }
};

using ScopedHandle = ScopedHandleT<KernelHandleTraits>;
using ScopedFindHandle = ScopedHandleT<FindHandleTraits>;
using ScopedRegKey = ScopedHandleT<RegKeyTraits>;
