#pragma once
// Runs a blocking call that has no time-out of its own (a name lookup) on a thread of its own
// and waits for it at most a given time. A call that overruns finishes later by itself; its
// result is dropped.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "controller/detached_thread.h"

namespace vantorel {

// The call's result, or nothing when it did not end within `wait` (or no thread could start).
template <typename Result>
std::optional<Result> CallWithin(std::function<Result()> call, std::chrono::milliseconds wait) {
    // Shared with the thread, which may outlive this wait.
    struct Shared {
        std::mutex mutex;
        std::condition_variable ended;
        std::optional<Result> result;
    };
    auto shared = std::make_shared<Shared>();
    const bool started = StartDetachedThread([shared, call = std::move(call)] {
        Result result = call();
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->result = std::move(result);
        shared->ended.notify_all();
    });
    if (!started) return std::nullopt;
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->ended.wait_for(lock, wait, [&shared] { return shared->result.has_value(); });
    return shared->result;
}

}  // namespace vantorel
