#pragma once
// The one thread that changes the host: recovery first, then posted tasks one at a time, and the
// periodic check whenever two seconds pass with nothing to do.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vantorel {

using StrandTask = std::function<void()>;
using StrandClock = std::chrono::steady_clock;

// What the strand runs besides posted tasks (the tunnel controller's operations in the service).
struct StrandOperations {
    StrandTask recover;     // once, before anything else
    StrandTask tick;        // after kTickInterval without a task
    StrandTask final_stop;  // once, after the loop ends
};

// Clock and wait, replaceable so tests need not sleep. `wait` blocks on `wake` for at most
// `limit` and may return early (a post, a stop or a spurious wake-up).
struct StrandTiming {
    std::function<StrandClock::time_point()> now;
    std::function<void(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                       std::chrono::milliseconds limit)>
        wait;
};

StrandTiming SystemStrandTiming();

class WorkerStrand {
public:
    static constexpr std::chrono::milliseconds kTickInterval{2000};

    WorkerStrand(StrandOperations operations, StrandTask on_ready, StrandTiming timing = SystemStrandTiming());
    ~WorkerStrand();
    WorkerStrand(const WorkerStrand&) = delete;
    WorkerStrand& operator=(const WorkerStrand&) = delete;

    // Starts the thread that runs run(); false when the system refuses a thread.
    bool start();
    // Asks the strand to finish: at most the task already at the front still runs, then the
    // final stop. True for the caller that set the flag first.
    bool request_stop();
    // Sequentially consistent, like the pipe side's clearing and raising of cancel, so a connect
    // racing a stop sees one or the other.
    bool stop_requested() const { return stop_.load(); }
    void join();

    // Queues a task; false, dropping it, once a stop was requested: the strand would not take it.
    // A task queued before the stop may still be dropped when the strand ends (the final stop
    // ends whatever session it was for).
    bool post(StrandTask task);

    // The thread body; public so a test can drive it on its own thread.
    void run();

private:
    bool next_task(StrandTask& task);
    void notify();

    StrandOperations operations_;
    StrandTask on_ready_;
    StrandTiming timing_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<StrandTask> queue_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vantorel
