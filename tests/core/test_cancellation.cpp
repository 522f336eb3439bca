// A disconnect (or stop, or suspend) arriving at any point of a connect.

#include <algorithm>
#include <functional>

#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

struct CancelPoint {
    const char* name;
    // Sets cancel at its point and records in `mark` how many log lines existed then.
    std::function<void(FakeHost&, TunnelController&, std::atomic<bool>&, std::size_t& mark)> arm;
};

void PrintTo(const CancelPoint& point, std::ostream* out) { *out << point.name; }

CancelPoint AtCheckpoint(const char* name, int step) {
    return {name, [step](FakeHost& host, TunnelController& controller, std::atomic<bool>& cancel, std::size_t& mark) {
                controller.set_checkpoint_observer([step, &host, &cancel, &mark](int reached) {
                    if (reached != step) return;
                    cancel.store(true);
                    mark = host.log.lines.size();
                });
            }};
}

std::vector<CancelPoint> CancelPoints() {
    return {
        AtCheckpoint("checkpoint_0", 0),
        AtCheckpoint("checkpoint_1", 1),
        AtCheckpoint("checkpoint_6", 6),
        AtCheckpoint("checkpoint_7", 7),
        AtCheckpoint("checkpoint_8", 8),
        AtCheckpoint("checkpoint_9", 9),
        AtCheckpoint("checkpoint_5", 5),
        AtCheckpoint("checkpoint_10", 10),
        {"tun_wait",
         [](FakeHost& host, TunnelController&, std::atomic<bool>& cancel, std::size_t& mark) {
             host.engine_script.tun_after_polls = 10;
             host.sleeper.on_sleep = [&host, &cancel, &mark](int) {
                 if (host.sleeper.sleeps != 3) return;
                 cancel.store(true);
                 mark = host.log.lines.size();
             };
         }},
        {"egress_probe",
         [](FakeHost& host, TunnelController&, std::atomic<bool>& cancel, std::size_t& mark) {
             host.on_egress_probe = [&host, &cancel, &mark] {
                 cancel.store(true);
                 mark = host.log.lines.size();
             };
         }},
    };
}

class Cancellation : public CoreScenario, public ::testing::WithParamInterface<CancelPoint> {};

TEST_P(Cancellation, EndsIdleWithNoCodeAndACleanHost) {
    std::size_t mark = 0;
    GetParam().arm(host, *controller, cancel, mark);
    const TunnelSnapshot result = connect();
    ASSERT_GT(mark, 0u) << "the cancel point was never reached";
    // Nothing of the sequence runs after the point where cancel was seen.
    for (std::size_t i = mark; i < host.log.lines.size(); ++i) {
        EXPECT_NE(host.log.lines[i].event, "gate") << host.log.lines[i].code;
        EXPECT_NE(host.log.lines[i].event, "routes") << host.log.lines[i].code;
    }
    EXPECT_EQ(result.state, SessionState::idle);
    EXPECT_EQ(result.code, ErrorCode::none);
    EXPECT_TRUE(result.message.empty());
    EXPECT_TRUE(result.cleanup_verified);
    EXPECT_EQ(result.generation, 1);
    EXPECT_TRUE(std::none_of(published.begin(), published.end(),
                             [](const TunnelSnapshot& s) { return s.state == SessionState::connected; }));
    EXPECT_EQ(state_lines().back().code, ErrorCodeName(ErrorCode::none));
    expect_clean();
    EXPECT_FALSE(host.files.ledger_text.has_value());
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, Cancellation, ::testing::ValuesIn(CancelPoints()),
                         [](const ::testing::TestParamInfo<CancelPoint>& info) {
                             return std::string(info.param.name);
                         });

class CancellationDetail : public CoreScenario {};

TEST_F(CancellationDetail, CheckpointsComeInTheirFixedOrder) {
    std::vector<int> reached;
    controller->set_checkpoint_observer([&reached](int step) { reached.push_back(step); });
    connect_ok();
    EXPECT_EQ(reached, (std::vector<int>{kCheckpointRunStart, kCheckpointBeforeEngine, kCheckpointConfigWritten,
                                         kCheckpointProcessCreated, kCheckpointJobAssigned, kCheckpointEngineResumed,
                                         kCheckpointPinAdded, kCheckpointBeforeConnected}));
}

TEST_F(CancellationDetail, CancelBeforeTheRunLogsOnlyTheStateLines) {
    ASSERT_TRUE(controller->begin_connect().accepted);
    cancel.store(true);
    controller->run_connect(job, cancel);
    std::vector<std::string> events;
    for (const FakeLogLine& line : host.log.lines) events.push_back(line.event);
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connecting", "idle"}));
    EXPECT_EQ(host.process.pid, 0u);
    EXPECT_TRUE(host.resolver.asked.empty());
}

TEST_F(CancellationDetail, CancelInTheTunWaitStopsWithinOnePoll) {
    host.engine_script.tun_after_polls = 40;
    host.sleeper.on_sleep = [this](int) {
        if (host.sleeper.sleeps == 2) cancel.store(true);
    };
    connect();
    EXPECT_EQ(host.tun_polls, 2);
    EXPECT_TRUE(host.log.with_event("tun_init_timeout").empty());
}

TEST_F(CancellationDetail, CancelDuringTheProbeIsNotReportedAsAFailure) {
    host.egress_works = false;
    host.on_egress_probe = [this] { cancel.store(true); };
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.code, ErrorCode::none);
    EXPECT_TRUE(host.log.with_event("egress").empty());
}

}  // namespace
}  // namespace vantorel
