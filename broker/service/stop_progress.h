#pragma once
// While the service stops, reports stop pending again at a fixed interval with the next
// checkpoint, so the control manager sees progress through a long final teardown.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace vantorel {

class StopProgress {
public:
    // The first report comes one interval after construction, with `first_checkpoint`.
    StopProgress(std::function<void(std::uint32_t checkpoint)> report, std::chrono::milliseconds interval,
                 std::uint32_t first_checkpoint = 2);
    // Returns once no report runs or will run any more.
    ~StopProgress();
    StopProgress(const StopProgress&) = delete;
    StopProgress& operator=(const StopProgress&) = delete;

private:
    void run(std::uint32_t first_checkpoint);

    std::function<void(std::uint32_t)> report_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace vantorel
