// The worker strand's order of work and its two-second tick, on a virtual clock.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "broker/service/worker_strand.h"

namespace vantorel {
namespace {

using std::chrono::milliseconds;

// A virtual clock; each wait is recorded and then advances the clock by `step(limit)`, as if the
// wait had ended after that long with nothing posted.
struct VirtualTime {
    StrandClock::time_point now{};
    std::vector<milliseconds> waits;
    std::function<StrandClock::duration(milliseconds)> step = [](milliseconds limit) { return limit; };
    // Runs inside a wait, with the strand's lock released.
    std::function<void(std::size_t)> during_wait;

    StrandTiming timing() {
        StrandTiming t;
        t.now = [this] { return now; };
        t.wait = [this](std::condition_variable&, std::unique_lock<std::mutex>& lock, milliseconds limit) {
            waits.push_back(limit);
            now += step(limit);
            if (during_wait) {
                lock.unlock();
                during_wait(waits.size());
                lock.lock();
            }
        };
        return t;
    }
};

struct Trace {
    std::vector<std::string> events;
    StrandOperations operations() {
        return {[this] { events.push_back("recover"); }, [this] { events.push_back("tick"); },
                [this] { events.push_back("final_stop"); }};
    }
};

TEST(WorkerStrand, RecoversAndSignalsReadyBeforeAnyTaskThenRunsTasksInOrder) {
    VirtualTime time;
    Trace trace;
    WorkerStrand strand(
        trace.operations(), [&] { trace.events.push_back("ready"); }, time.timing());
    // Posted before the strand runs: still after recovery.
    strand.post([&] { trace.events.push_back("a"); });
    strand.post([&] { trace.events.push_back("b"); });
    strand.post([&] {
        trace.events.push_back("c");
        strand.request_stop();
    });
    strand.run();
    EXPECT_EQ(trace.events, (std::vector<std::string>{"recover", "ready", "a", "b", "c", "final_stop"}));
    EXPECT_TRUE(time.waits.empty());
}

TEST(WorkerStrand, TicksAfterTwoIdleSeconds) {
    VirtualTime time;
    Trace trace;
    int ticks = 0;
    StrandOperations ops = trace.operations();
    WorkerStrand* self = nullptr;
    ops.tick = [&] {
        trace.events.push_back("tick");
        if (++ticks == 3) self->request_stop();
    };
    WorkerStrand strand(ops, nullptr, time.timing());
    self = &strand;
    const auto start = time.now;
    strand.run();
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(time.waits, (std::vector<milliseconds>{milliseconds(2000), milliseconds(2000), milliseconds(2000)}));
    EXPECT_EQ(time.now - start, milliseconds(6000));
    EXPECT_EQ(trace.events.back(), "final_stop");
}

TEST(WorkerStrand, EarlyWakeKeepsTheDeadlineAndRoundsFractionsUp) {
    VirtualTime time;
    int ticks = 0;
    WorkerStrand* self = nullptr;
    StrandOperations ops;
    ops.tick = [&] {
        ++ticks;
        self->request_stop();
    };
    // Spurious wake-ups after 700.25 ms each: the remaining time shrinks within the pass.
    time.step = [](milliseconds) { return std::chrono::microseconds(700250); };
    WorkerStrand strand(ops, nullptr, time.timing());
    self = &strand;
    strand.run();
    EXPECT_EQ(ticks, 1);
    // 2000, then 1299.75 -> 1300, then 599.5 -> 600; then the deadline has passed.
    EXPECT_EQ(time.waits, (std::vector<milliseconds>{milliseconds(2000), milliseconds(1300), milliseconds(600)}));
}

TEST(WorkerStrand, TaskPostedDuringTheWaitRunsAtOnceAndTheNextDeadlineIsFresh) {
    VirtualTime time;
    std::vector<std::string> events;
    WorkerStrand* self = nullptr;
    StrandOperations ops;
    ops.tick = [&] {
        events.push_back("tick");
        self->request_stop();
    };
    WorkerStrand strand(ops, nullptr, time.timing());
    self = &strand;
    // The first wait is cut short after 700 ms by a post.
    time.step = [&](milliseconds limit) -> StrandClock::duration {
        return time.waits.size() == 1 ? milliseconds(700) : StrandClock::duration(limit);
    };
    time.during_wait = [&](std::size_t n) {
        if (n == 1) strand.post([&] { events.push_back("task"); });
    };
    strand.run();
    EXPECT_EQ(events, (std::vector<std::string>{"task", "tick"}));
    // The task postponed the tick: the next wait starts again from two seconds, not 1300 ms.
    ASSERT_EQ(time.waits.size(), 2u);
    EXPECT_EQ(time.waits[1], milliseconds(2000));
}

TEST(WorkerStrand, StopRunsAtMostTheFrontTaskThenFinalStopAndDropsTheRest) {
    VirtualTime time;
    std::vector<std::string> events;
    StrandOperations ops;
    ops.final_stop = [&] { events.push_back("final_stop"); };
    WorkerStrand strand(ops, nullptr, time.timing());
    strand.post([&] {
        events.push_back("first");
        strand.request_stop();
    });
    strand.post([&] { events.push_back("second"); });
    auto marker = std::make_shared<int>(0);
    std::weak_ptr<int> watch = marker;
    strand.post([&events, marker] { events.push_back("third"); });
    marker.reset();
    strand.run();
    EXPECT_EQ(events, (std::vector<std::string>{"first", "final_stop"}));
    EXPECT_TRUE(watch.expired());  // the queued tasks were destroyed without running
}

TEST(WorkerStrand, StopDuringRecoverySkipsTasksAndTicksButStillStops) {
    VirtualTime time;
    Trace trace;
    WorkerStrand* self = nullptr;
    StrandOperations ops = trace.operations();
    ops.recover = [&] {
        trace.events.push_back("recover");
        self->request_stop();
    };
    WorkerStrand strand(
        ops, [&] { trace.events.push_back("ready"); }, time.timing());
    self = &strand;
    strand.post([&] { trace.events.push_back("task"); });
    strand.run();
    EXPECT_EQ(trace.events, (std::vector<std::string>{"recover", "ready", "final_stop"}));
}

TEST(WorkerStrand, APostAfterTheStopIsRefusedAndNeverRuns) {
    VirtualTime time;
    std::vector<std::string> events;
    StrandOperations ops;
    ops.final_stop = [&] { events.push_back("final_stop"); };
    WorkerStrand strand(ops, nullptr, time.timing());
    EXPECT_TRUE(strand.post([&] { events.push_back("before"); }));
    strand.request_stop();
    EXPECT_FALSE(strand.post([&] { events.push_back("after"); }));
    strand.run();
    EXPECT_EQ(events, (std::vector<std::string>{"final_stop"}));
}

TEST(WorkerStrand, RequestStopReportsOnlyTheFirstCaller) {
    WorkerStrand strand({}, nullptr);
    EXPECT_FALSE(strand.stop_requested());
    EXPECT_TRUE(strand.request_stop());
    EXPECT_FALSE(strand.request_stop());
    EXPECT_TRUE(strand.stop_requested());
}

TEST(WorkerStrand, RealThreadRunsPostsInOrderAndStopsOnRequest) {
    std::vector<int> order;
    std::promise<void> recovered;
    std::promise<void> finished;
    StrandOperations ops;
    ops.recover = [&] { order.push_back(0); };
    ops.final_stop = [&] { finished.set_value(); };
    WorkerStrand strand(ops, [&] { recovered.set_value(); });
    ASSERT_TRUE(strand.start());
    EXPECT_FALSE(strand.start());
    std::promise<void> done;
    for (int i = 1; i <= 50; ++i) strand.post([&order, i] { order.push_back(i); });
    strand.post([&] { done.set_value(); });
    ASSERT_EQ(recovered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    strand.request_stop();
    strand.join();
    EXPECT_EQ(finished.get_future().wait_for(std::chrono::seconds(0)), std::future_status::ready);
    ASSERT_EQ(order.size(), 51u);
    for (int i = 0; i <= 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

}  // namespace
}  // namespace vantorel
