// Threads nobody joins: started work always runs, also when the thread ends before its starter
// lets go of it (winpthreads' detach failed with ESRCH there, and the work was dropped).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "controller/bounded_call.h"
#include "controller/detached_thread.h"

namespace vantorel {
namespace {

using std::chrono::milliseconds;

TEST(StartDetachedThread, EveryStartedWorkRunsEvenWhenItEndsAtOnce) {
    auto ran = std::make_shared<std::atomic<int>>(0);
    constexpr int kThreads = 500;
    int started = 0;
    for (int i = 0; i < kThreads; ++i) {
        if (StartDetachedThread([ran] { ran->fetch_add(1); })) ++started;
    }
    EXPECT_EQ(started, kThreads);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ran->load() < kThreads && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(ran->load(), kThreads);
}

// Many short calls in a row: each must give its own result, never "no thread".
struct QuickCallCase {
    const char* name;
    int calls;
    int busy_threads;  // threads spinning meanwhile, for load
};

class CallWithinUnderLoad : public ::testing::TestWithParam<QuickCallCase> {};

TEST_P(CallWithinUnderLoad, QuickCallsAlwaysGiveTheirResult) {
    const QuickCallCase& c = GetParam();
    std::atomic<bool> stop{false};
    std::vector<std::thread> load;
    load.reserve(static_cast<std::size_t>(c.busy_threads));
    for (int i = 0; i < c.busy_threads; ++i) {
        load.emplace_back([&stop] {
            volatile unsigned spin = 0;
            while (!stop.load()) spin = spin + 1;
        });
    }
    int answered = 0;
    for (int i = 0; i < c.calls; ++i) {
        const std::optional<int> result = CallWithin<int>([i] { return i * 3; }, milliseconds(5000));
        if (result && *result == i * 3) ++answered;
    }
    stop.store(true);
    for (std::thread& t : load) t.join();
    EXPECT_EQ(answered, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Cases, CallWithinUnderLoad,
                         ::testing::Values(QuickCallCase{"quiet", 300, 0}, QuickCallCase{"loaded", 300, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantorel
