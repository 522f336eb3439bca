// The session relay sleeps on the pipe and its input signal instead of polling: an idle relay
// goes to sleep once and stays asleep, and every kind of news wakes it at once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller/session_relay.h"
#include "controller/wake_signal.h"
#include "controller_test_support.h"
#include "fake_broker_pipe.h"

namespace vantorel {
namespace {

using namespace testing_support;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

class IdleRelay {
public:
    IdleRelay() : input(std::make_shared<FedLineSource>()) {}
    void start() {
        SessionIo io;
        io.input = input;
        io.out = &out;
        io.prove = [] { return true; };
        result = std::async(std::launch::async, [this, io] { return RunSessionOver(pipe, io); });
    }
    int Finish() { return FinishRelay(result, *input, pipe); }
    ~IdleRelay() { input->End(); }

    FakeBrokerPipe pipe;
    CollectingSink out;
    std::shared_ptr<FedLineSource> input;
    std::future<int> result;
};

// What wakes an idle relay, and what it must then have done.
struct WakeCase {
    std::string name;
    std::function<void(IdleRelay&)> poke;
    std::function<bool(IdleRelay&)> done;
};

class RelayWakeTable : public ::testing::TestWithParam<WakeCase> {};

TEST_P(RelayWakeTable, IdleRelaySleepsOnceThenWakesForNews) {
    const WakeCase& c = GetParam();
    IdleRelay run;
    run.start();
    ASSERT_TRUE(WaitUntil([&] { return run.pipe.waits() >= 1; }));
    // A polling relay would have passed its loop about 25 times in this quarter second.
    std::this_thread::sleep_for(milliseconds(250));
    EXPECT_EQ(run.pipe.waits(), 1);
    c.poke(run);
    EXPECT_TRUE(WaitUntil([&] { return c.done(run); }, milliseconds(2000)));
    // Woken once for the news, then asleep again (or ended).
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_LE(run.pipe.waits(), 3);
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayWakeTable,
    ::testing::Values(WakeCase{"input_line",
                               [](IdleRelay& r) { r.input->Feed("{\"command\":\"hello\",\"protocol_version\":3}"); },
                               [](IdleRelay& r) { return r.pipe.writes().size() == 1; }},
                      WakeCase{"refused_input_line", [](IdleRelay& r) { r.input->Feed("{\"command\":\"connect\"}"); },
                               [](IdleRelay& r) { return r.out.lines() == Lines{ClientErrorText("protocol")}; }},
                      WakeCase{"broker_event", [](IdleRelay& r) { r.pipe.Send(FrameBytes(StateEvent(2, "idle"))); },
                               [](IdleRelay& r) { return r.out.lines() == Lines{StateEvent(2, "idle")}; }},
                      WakeCase{"broker_hangup", [](IdleRelay& r) { r.pipe.Hangup(); },
                               [](IdleRelay& r) { return r.out.lines() == Lines{kBrokerClosedText}; }},
                      WakeCase{"end_of_input", [](IdleRelay& r) { r.input->End(); },
                               [](IdleRelay& r) { return r.out.lines() == Lines{kBrokerClosedText}; }}),
    [](const auto& info) { return info.param.name; });

TEST(RelayWaits, HelloRoundTripDoesNotWaitForATimer) {
    IdleRelay run;
    run.start();
    ASSERT_TRUE(WaitUntil([&] { return run.pipe.waits() >= 1; }));
    // Ten hellos one after another, each answered before the next: no pass may sleep 10 ms.
    const auto started = std::chrono::steady_clock::now();
    for (int i = 1; i <= 10; ++i) {
        run.input->Feed("{\"command\":\"hello\",\"protocol_version\":3}");
        ASSERT_TRUE(
            WaitUntil([&] { return run.pipe.writes().size() == static_cast<std::size_t>(i); }, milliseconds(1000)));
        run.pipe.Send(FrameBytes(StateEvent(0, "idle")));
        ASSERT_TRUE(WaitUntil([&] { return run.out.size() == static_cast<std::size_t>(i); }, milliseconds(1000)));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(1000));
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
}

// The signal is sticky: a raise before the wait is not lost, and a wait takes it.
TEST(LocalWakeSignal, RaiseBeforeWaitIsKeptAndTaken) {
    LocalWakeSignal signal;
    signal.set();
    signal.set();
    auto first = std::async(std::launch::async, [&] { signal.wait(); });
    ASSERT_EQ(first.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    auto second = std::async(std::launch::async, [&] { signal.wait(); });
    EXPECT_EQ(second.wait_for(milliseconds(100)), std::future_status::timeout);
    signal.set();
    EXPECT_EQ(second.wait_for(std::chrono::seconds(2)), std::future_status::ready);
}

}  // namespace
}  // namespace vantorel
