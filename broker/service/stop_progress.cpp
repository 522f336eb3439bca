#include "broker/service/stop_progress.h"

#include <utility>

namespace vantorel {

StopProgress::StopProgress(std::function<void(std::uint32_t)> report, std::chrono::milliseconds interval,
                           std::uint32_t first_checkpoint)
    : report_(std::move(report)), interval_(interval) {
    thread_ = std::thread([this, first_checkpoint] { run(first_checkpoint); });
}

StopProgress::~StopProgress() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void StopProgress::run(std::uint32_t first_checkpoint) {
    std::uint32_t checkpoint = first_checkpoint;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (wake_.wait_for(lock, interval_, [this] { return done_; })) return;
        lock.unlock();
        report_(checkpoint++);
        lock.lock();
    }
}

}  // namespace vantorel
