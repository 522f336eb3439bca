// How a session ends when stops, teardowns and admissions meet: a stop aimed at one session,
// connects during a teardown, the final stop, and the teardown's last snapshot.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/core/core_scenario.h"
#include "tests/fakes/locked_tunnel_log.h"

namespace vantorel {
namespace {

constexpr char kCleanupFailedText[] = "Ошибка восстановления сети. Перезапустите службу";

class SessionEnds : public CoreScenario {
protected:
    std::size_t published_with(SessionState state) const {
        return static_cast<std::size_t>(std::count_if(published.begin(), published.end(),
                                                      [state](const TunnelSnapshot& s) { return s.state == state; }));
    }
};

class TargetedStop;

struct TargetRow {
    const char* name;
    // Brings the controller where the stop finds it and returns the stop's target.
    std::function<StopTarget(TargetedStop&)> arrange;
    bool tears_down;
    SessionState state_after;
    long long generation_after;
};

class TargetedStop : public SessionEnds, public ::testing::WithParamInterface<TargetRow> {
public:
    using SessionEnds::cancel;
    using SessionEnds::connect;
    using SessionEnds::controller;
    using SessionEnds::host;
    using SessionEnds::job;
};

void PrintTo(const TargetRow& row, std::ostream* out) { *out << row.name; }

std::vector<TargetRow> TargetRows() {
    return {
        // A disconnect while idle, then a connect admitted before the stop ran.
        {"newer_session_admitted",
         [](TargetedStop& t) {
             const StopTarget target = StopTargetOf(t.controller->snapshot());
             EXPECT_TRUE(t.controller->begin_connect().accepted);
             return target;
         },
         false, SessionState::connecting, 1},
        // A disconnect while connecting: the cancelled connect already ended the session.
        {"live_session_ended_since",
         [](TargetedStop& t) {
             EXPECT_TRUE(t.controller->begin_connect().accepted);
             const StopTarget target = StopTargetOf(t.controller->snapshot());
             t.cancel.store(true);
             EXPECT_EQ(t.controller->run_connect(t.job, t.cancel).state, SessionState::idle);
             return target;
         },
         false, SessionState::idle, 1},
        // A disconnect while idle still runs the stop, so the client sees a state event.
        {"idle_session", [](TargetedStop& t) { return StopTargetOf(t.controller->snapshot()); }, true,
         SessionState::idle, 0},
        {"connected_session",
         [](TargetedStop& t) {
             EXPECT_EQ(t.connect().state, SessionState::connected);
             return StopTargetOf(t.controller->snapshot());
         },
         true, SessionState::idle, 1},
        // An unverified teardown is retried by the stop aimed at it.
        {"unverified_teardown",
         [](TargetedStop& t) {
             EXPECT_EQ(t.connect().state, SessionState::connected);
             t.host.fail("remove_adapter", 5, 1);
             EXPECT_EQ(t.controller->stop().code, ErrorCode::cleanup_failed);
             return StopTargetOf(t.controller->snapshot());
         },
         true, SessionState::idle, 1},
    };
}

TEST_P(TargetedStop, EndsOnlyTheSessionItWasAskedFor) {
    const TargetRow& row = GetParam();
    const StopTarget target = row.arrange(*this);
    published.clear();
    const int saves = host.files.saves;
    const TunnelSnapshot result = controller->stop(target);
    EXPECT_EQ(published.size(), row.tears_down ? 1u : 0u);
    EXPECT_EQ(host.files.saves > saves, row.tears_down);  // the teardown saves the ledger first
    EXPECT_EQ(result.state, row.state_after);
    EXPECT_EQ(controller->snapshot().state, row.state_after);
    EXPECT_EQ(result.generation, row.generation_after);
    if (row.state_after == SessionState::connecting) {
        // The session admitted after the stop was asked for runs in full.
        EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::connected);
    } else {
        EXPECT_TRUE(result.cleanup_verified);
        expect_clean();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TargetedStop, ::testing::ValuesIn(TargetRows()),
                         [](const ::testing::TestParamInfo<TargetRow>& info) { return std::string(info.param.name); });

TEST_F(SessionEnds, ADisconnectWhileConnectingPublishesOneIdle) {
    // The disconnect's stop is queued behind the connect; the cancelled connect ends the session.
    ASSERT_TRUE(controller->begin_connect().accepted);
    const StopTarget target = StopTargetOf(controller->snapshot());
    controller->set_checkpoint_observer([this](int step) {
        if (step == 7) cancel.store(true);
    });
    EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::idle);
    controller->stop(target);
    EXPECT_EQ(published_with(SessionState::idle), 1u);
    EXPECT_EQ(host.log.with_event("idle").size(), 1u);
    EXPECT_EQ(host.engine.stop_requests, 1);
}

// A connect from the pipe thread that waits inside begin_connect; `waiting` is raised once it
// has looked at the controller (its give_up is asked before every look).
struct PipeConnect {
    std::thread thread;
    std::atomic<bool> waiting{false};
    std::atomic<bool> done{false};
    ConnectAdmission result;

    void start(TunnelController& controller) {
        thread = std::thread([this, &controller] {
            AdmissionRequest request;
            request.give_up = [this] {
                waiting.store(true);
                return false;
            };
            result = controller.begin_connect(request);
            done.store(true);
        });
    }
    // Bounded: the flag must come; a missing one fails the test instead of hanging it.
    static bool Await(const std::atomic<bool>& flag) {
        for (int i = 0; i < 5000 && !flag.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return flag.load();
    }
};

struct DuringTeardownRow {
    const char* name;
    int earlier_failures;  // teardowns of this session that failed before the one the connect meets
    int failures_during;   // failed remove_adapter calls in the teardown the connect meets
    bool accepted;
    ErrorCode refusal;
};

TEST_F(SessionEnds, AConnectDuringATeardownWaitsForItAndIsDecidedOnWhatItLeft) {
    const DuringTeardownRow rows[] = {{"first_teardown", 0, 0, true, ErrorCode::none},
                                      {"retry_that_verifies", 1, 0, true, ErrorCode::none},
                                      {"teardown_that_fails", 0, 1, false, ErrorCode::cleanup_failed}};
    for (const DuringTeardownRow& row : rows) {
        SCOPED_TRACE(row.name);
        host.on_operation = nullptr;
        if (controller->snapshot().state != SessionState::idle || !controller->snapshot().cleanup_verified) {
            controller->stop();
        }
        const TunnelSnapshot session = connect_ok();
        for (int i = 0; i < row.earlier_failures; ++i) {
            host.fail("remove_adapter", 5, 1);
            ASSERT_EQ(controller->stop().code, ErrorCode::cleanup_failed);
        }
        if (row.failures_during > 0) host.fail("remove_adapter", 5, row.failures_during);
        const TunnelSnapshot before = controller->snapshot();
        PipeConnect pipe;
        bool waited = false;
        host.on_operation = [&](const std::string& operation) {
            if (operation != "list_own_adapters" || pipe.thread.joinable()) return;
            pipe.start(*controller);
            // The connect is looking at the controller while this teardown still holds the
            // ledger: it must not be decided yet.
            waited = PipeConnect::Await(pipe.waiting) && !pipe.done.load();
        };
        const std::size_t published_before = published.size();
        const TunnelSnapshot ended = controller->stop();
        ASSERT_TRUE(pipe.thread.joinable());
        pipe.thread.join();
        // Only now: the pipe thread's begin_connect consults the hook too.
        host.on_operation = nullptr;
        EXPECT_TRUE(waited);
        EXPECT_EQ(pipe.result.accepted, row.accepted);
        // The teardown published its end before the connect was decided.
        ASSERT_EQ(published.size(), published_before + 1);
        EXPECT_EQ(published.back().generation, session.generation);
        if (row.accepted) {
            EXPECT_EQ(ended.state, SessionState::idle);
            EXPECT_EQ(pipe.result.snapshot.generation, session.generation + 1);
            EXPECT_EQ(controller->snapshot().state, SessionState::connecting);
            const std::vector<FakeLogLine> states = state_lines();
            ASSERT_GE(states.size(), 2u);
            EXPECT_EQ(states[states.size() - 2].event, "idle");
            EXPECT_EQ(states.back().event, "connecting");
            EXPECT_EQ(states.back().generation, session.generation + 1);
            EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::connected);
        } else {
            EXPECT_EQ(pipe.result.snapshot.code, row.refusal);
            EXPECT_EQ(pipe.result.snapshot.message, MessageForCode(row.refusal));
            EXPECT_EQ(pipe.result.snapshot.generation, session.generation);
            // The refusal is not stored: status still shows the teardown's own outcome.
            EXPECT_EQ(controller->snapshot().code, ended.code);
            EXPECT_EQ(controller->ledger_copy().generation, session.generation);
        }
        (void)before;
    }
}

TEST_F(SessionEnds, AConnectWhoseWaitRunsOutIsRefusedWithTeardownTimeoutAndChangesNothing) {
    std::atomic<unsigned long long> now{1000};
    controller->set_clock([&now] { return now.load(); });
    const TunnelSnapshot session = connect_ok();
    PipeConnect pipe;
    bool refused_in_time = false;
    TunnelSnapshot seen_during;
    host.on_operation = [&](const std::string& operation) {
        if (operation != "list_own_adapters" || pipe.thread.joinable()) return;
        seen_during = controller->snapshot();
        pipe.start(*controller);
        ASSERT_TRUE(PipeConnect::Await(pipe.waiting));
        // Still within the bound: the connect keeps waiting.
        now.store(now.load() + TunnelController::kTeardownBoundMs - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * TunnelController::kAdmissionWaitSliceMs));
        EXPECT_FALSE(pipe.done.load());
        // The teardown is stuck here past its own bound.
        now.store(now.load() + 1);
        refused_in_time = PipeConnect::Await(pipe.done);
    };
    const TunnelSnapshot ended = controller->stop();
    pipe.thread.join();
    host.on_operation = nullptr;
    ASSERT_TRUE(refused_in_time);
    EXPECT_FALSE(pipe.result.accepted);
    EXPECT_EQ(pipe.result.snapshot.code, ErrorCode::teardown_timeout);
    EXPECT_EQ(pipe.result.snapshot.message, MessageForCode(ErrorCode::teardown_timeout));
    EXPECT_EQ(pipe.result.snapshot.generation, session.generation);
    EXPECT_EQ(seen_during.code, ErrorCode::none);
    EXPECT_EQ(ended.state, SessionState::idle);
    EXPECT_EQ(ended.generation, session.generation);
    EXPECT_EQ(controller->snapshot().code, ErrorCode::none);
    EXPECT_TRUE(controller->begin_connect().accepted);
}

TEST_F(SessionEnds, AConnectWaitsForAQueuedStopAndIsRefusedWhenTheServiceStops) {
    const TunnelSnapshot session = connect_ok();
    QueuedStop queued = controller->queue_stop();
    PipeConnect pipe;
    pipe.start(*controller);
    ASSERT_TRUE(PipeConnect::Await(pipe.waiting));
    EXPECT_FALSE(pipe.done.load());
    controller->close_admission();
    ASSERT_TRUE(PipeConnect::Await(pipe.done));
    pipe.thread.join();
    EXPECT_FALSE(pipe.result.accepted);
    EXPECT_EQ(pipe.result.snapshot.code, ErrorCode::service_stopping);
    EXPECT_EQ(pipe.result.snapshot.generation, session.generation);
    EXPECT_EQ(controller->snapshot().state, SessionState::connected);
    EXPECT_EQ(controller->snapshot().code, ErrorCode::none);
    queued.reset();
}

TEST_F(SessionEnds, AFailedTeardownStillAnswersCleanupFailed) {
    connect_ok();
    host.fail("remove_adapter", 5);
    ASSERT_EQ(controller->stop().code, ErrorCode::cleanup_failed);
    const ConnectAdmission refused = controller->begin_connect();
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.snapshot.code, ErrorCode::cleanup_failed);
    EXPECT_EQ(refused.snapshot.message, kCleanupFailedText);
}

TEST_F(SessionEnds, TheFinalStopClosesAdmission) {
    // Admitted just before the service's final stop, its connect never ran: the final stop ends
    // it saying so, and leaves no ledger.
    ASSERT_TRUE(controller->begin_connect().accepted);
    const TunnelSnapshot last = controller->final_stop();
    EXPECT_EQ(last.state, SessionState::idle);
    EXPECT_EQ(last.generation, 1);
    EXPECT_EQ(last.code, ErrorCode::service_stopping);
    EXPECT_EQ(last.message, MessageForCode(ErrorCode::service_stopping));
    EXPECT_TRUE(last.cleanup_verified);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    const int saves = host.files.saves;
    const ConnectAdmission refused = controller->begin_connect();
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.snapshot.code, ErrorCode::service_stopping);
    EXPECT_EQ(host.files.saves, saves);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    // The job of a connect posted too late finds no session to run.
    EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::idle);
    EXPECT_EQ(host.process.pid, 0u);
}

TEST_F(SessionEnds, AFinalStopAfterTheConnectRanEndsItWithoutACode) {
    connect_ok();
    const TunnelSnapshot last = controller->final_stop();
    EXPECT_EQ(last.state, SessionState::idle);
    EXPECT_EQ(last.code, ErrorCode::none);
}

// A connect admitted the moment a verified teardown resets the ledger (from the pipe thread)
// must not be taken for the ended session, nor the ended session's idle be lost.
TEST(TeardownSnapshot, IsStoredWithTheLedgerResetSoAConnectRightAfterIsItsOwn) {
    FakeHost host;
    LockedTunnelLog log;
    TunnelController controller(host.routes, host.engine, host.resolver, host.probe, host.files, log, host.sleeper,
                                host.firewall);
    std::vector<TunnelSnapshot> published;
    controller.set_snapshot_listener([&published](const TunnelSnapshot& s) { published.push_back(s); });
    std::atomic<bool> cancel{false};
    const ConnectJob job{kProfileLink, {}, {}, false};
    ASSERT_TRUE(controller.begin_connect().accepted);
    ASSERT_EQ(controller.run_connect(job, cancel).state, SessionState::connected);

    // The ledger's deletion runs under the controller's lock: the pipe thread's connect starts
    // there and is let in when the lock is released.
    std::thread pipe;
    ConnectAdmission admission;
    std::atomic<bool> started{false};
    host.on_operation = [&](const std::string& operation) {
        if (operation != "delete_ledger" || started.exchange(true)) return;
        pipe = std::thread([&] { admission = controller.begin_connect(); });
    };
    const TunnelSnapshot ended = controller.stop();
    ASSERT_TRUE(started.load());
    pipe.join();
    host.on_operation = nullptr;

    EXPECT_EQ(ended.state, SessionState::idle);
    EXPECT_EQ(ended.generation, 1);
    EXPECT_TRUE(ended.cleanup_verified);
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(published.back().state, SessionState::idle);
    EXPECT_EQ(published.back().generation, 1);
    EXPECT_TRUE(published.back().cleanup_verified);

    ASSERT_TRUE(admission.accepted);
    EXPECT_EQ(admission.snapshot.generation, 2);
    const TunnelSnapshot now = controller.snapshot();
    EXPECT_EQ(now.state, SessionState::connecting);
    EXPECT_EQ(now.generation, 2);
    EXPECT_FALSE(now.cleanup_verified);
    const SessionLedger ledger = controller.ledger_copy();
    EXPECT_EQ(ledger.phase, SessionState::connecting);
    EXPECT_FALSE(ledger.cleanup_verified);
    EXPECT_EQ(host.files.saved.back().generation, 2);
    EXPECT_FALSE(host.files.saved.back().cleanup_verified);
    EXPECT_EQ(controller.run_connect(job, cancel).state, SessionState::connected);
}

}  // namespace
}  // namespace vantorel
