#pragma once
// Small RAII owners for Win32 handles. Windows only.

#include <windows.h>

#include <utility>

namespace vantorel {

// Owns a HANDLE closed with CloseHandle. Both null and INVALID_HANDLE_VALUE count as "none",
// since CreateFile and friends use the latter while most others use null.
class WinHandle {
public:
    WinHandle() = default;
    explicit WinHandle(HANDLE h) : h_(h) {}
    ~WinHandle() { reset(); }
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    WinHandle(WinHandle&& other) noexcept : h_(other.release()) {}
    WinHandle& operator=(WinHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// Generic owner for handle kinds with their own close function (SC_HANDLE, HINTERNET, HKEY...).
template <typename T, auto Close>
class ScopedResource {
public:
    ScopedResource() = default;
    explicit ScopedResource(T value) : v_(value) {}
    ~ScopedResource() { reset(); }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ScopedResource(ScopedResource&& other) noexcept : v_(other.release()) {}
    ScopedResource& operator=(ScopedResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    T get() const { return v_; }
    bool valid() const { return v_ != T{}; }
    explicit operator bool() const { return valid(); }
    T release() { return std::exchange(v_, T{}); }
    void reset(T value = T{}) {
        if (valid()) Close(v_);
        v_ = value;
    }

private:
    T v_{};
};

}  // namespace vantorel
