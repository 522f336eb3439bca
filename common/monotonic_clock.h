#pragma once
// The one clock every deadline and interval of both programs is measured on: milliseconds
// since an arbitrary start, never going back (QueryPerformanceCounter on Windows).

#include <chrono>
#include <cstdint>

namespace vantorel {

inline std::uint64_t MonotonicMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// What is left of the time until `deadline` (a MonotonicMs value); 0 once it has passed.
inline std::uint64_t MsLeftUntil(std::uint64_t deadline) {
    const std::uint64_t now = MonotonicMs();
    return now >= deadline ? 0 : deadline - now;
}

}  // namespace vantorel
