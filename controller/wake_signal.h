#pragma once
// A one-bit signal the input thread raises for the relay, so the relay can sleep until either
// the broker or the user interface has something. Auto-reset: a wait takes the signal.

#include <condition_variable>
#include <mutex>

namespace vantorel {

class WakeSignal {
public:
    virtual ~WakeSignal() = default;
    // Stays raised until a wait takes it, so a raise before the wait is never lost.
    virtual void set() = 0;
    // Blocks until the signal is raised, then lowers it.
    virtual void wait() = 0;
    // The system object behind the signal, for waiting on it together with other objects; null
    // when there is none (the portable signal).
    virtual void* native_handle() { return nullptr; }
};

// Mutex and condition variable; what the relay uses when no system event is given.
class LocalWakeSignal final : public WakeSignal {
public:
    void set() override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            raised_ = true;
        }
        changed_.notify_all();
    }
    void wait() override {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return raised_; });
        raised_ = false;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool raised_ = false;
};

}  // namespace vantorel
