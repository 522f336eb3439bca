#include "broker/service/worker_strand.h"

#include <system_error>
#include <utility>

namespace vantorel {

StrandTiming SystemStrandTiming() {
    StrandTiming timing;
    timing.now = [] { return StrandClock::now(); };
    timing.wait = [](std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                     std::chrono::milliseconds limit) { wake.wait_for(lock, limit); };
    return timing;
}

WorkerStrand::WorkerStrand(StrandOperations operations, StrandTask on_ready, StrandTiming timing)
    : operations_(std::move(operations)), on_ready_(std::move(on_ready)), timing_(std::move(timing)) {}

WorkerStrand::~WorkerStrand() {
    request_stop();
    join();
}

bool WorkerStrand::start() {
    if (thread_.joinable()) return false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool WorkerStrand::request_stop() {
    const bool was_set = stop_.exchange(true);
    notify();
    return !was_set;
}

void WorkerStrand::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool WorkerStrand::post(StrandTask task) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stop_requested()) return false;
        queue_.push_back(std::move(task));
    }
    notify();
    return true;
}

void WorkerStrand::notify() {
    // Taking the mutex first closes the gap between a waiter's check and its wait.
    { std::lock_guard<std::mutex> guard(mutex_); }
    wake_.notify_all();
}

// One pass: the front task, or the tick when the deadline passes idle. False when stopping.
bool WorkerStrand::next_task(StrandTask& task) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = timing_.now() + kTickInterval;
    while (!stop_requested() && queue_.empty()) {
        const auto now = timing_.now();
        if (now >= deadline) break;
        // A fraction of a millisecond left counts as a whole one, so the wait never ends early.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        timing_.wait(wake_, lock, remaining);
    }
    if (stop_requested() && queue_.empty()) return false;
    if (!queue_.empty()) {
        task = std::move(queue_.front());
        queue_.pop_front();
    } else {
        task = operations_.tick;
    }
    return true;
}

void WorkerStrand::run() {
    if (operations_.recover) operations_.recover();
    if (on_ready_) on_ready_();
    while (!stop_requested()) {
        StrandTask task;
        if (!next_task(task)) break;
        if (task) task();
        wake_.notify_all();
    }
    if (operations_.final_stop) operations_.final_stop();
    wake_.notify_all();
    // Tasks still queued are dropped unrun: the final stop has already ended the session.
    std::deque<StrandTask> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        dropped.swap(queue_);
    }
}

}  // namespace vantorel
