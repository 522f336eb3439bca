// How a session ends when stops, teardowns and admissions meet: a stop aimed at one session,
// connects during a teardown, the final stop, and the teardown's last snapshot.

#include <algorithm>
#include <atomic>
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

struct DuringTeardownRow {
    const char* name;
    bool earlier_failure;  // a teardown of this session already failed once
    ErrorCode expected;
};

TEST_F(SessionEnds, AConnectDuringATeardownIsBusyUnlessOneHasFailed) {
    const DuringTeardownRow rows[] = {{"first_teardown", false, ErrorCode::busy},
                                      {"retry_after_a_failure", true, ErrorCode::cleanup_failed}};
    for (const DuringTeardownRow& row : rows) {
        SCOPED_TRACE(row.name);
        host.on_operation = nullptr;
        connect_ok();
        if (row.earlier_failure) {
            host.fail("remove_adapter", 5, 1);
            ASSERT_EQ(controller->stop().code, ErrorCode::cleanup_failed);
        }
        std::vector<ConnectAdmission> during;
        host.on_operation = [this, &during](const std::string& operation) {
            if (operation == "list_own_adapters" && during.empty()) during.push_back(controller->begin_connect());
        };
        const TunnelSnapshot ended = controller->stop();
        host.on_operation = nullptr;
        ASSERT_EQ(during.size(), 1u);
        EXPECT_FALSE(during[0].accepted);
        EXPECT_EQ(during[0].snapshot.code, row.expected);
        EXPECT_EQ(during[0].snapshot.message, MessageForCode(row.expected));
        EXPECT_EQ(ended.state, SessionState::idle);
        EXPECT_TRUE(ended.cleanup_verified);
        // Once the teardown has verified, the next connect is admitted.
        EXPECT_TRUE(controller->begin_connect().accepted);
        controller->stop();
    }
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
    // Admitted just before the service's final stop: the final stop ends it and leaves no ledger.
    ASSERT_TRUE(controller->begin_connect().accepted);
    const TunnelSnapshot last = controller->final_stop();
    EXPECT_EQ(last.state, SessionState::idle);
    EXPECT_EQ(last.generation, 1);
    EXPECT_TRUE(last.cleanup_verified);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    const int saves = host.files.saves;
    const ConnectAdmission refused = controller->begin_connect();
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.snapshot.code, ErrorCode::busy);
    EXPECT_EQ(host.files.saves, saves);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    // The job of a connect posted too late finds no session to run.
    EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::idle);
    EXPECT_EQ(host.process.pid, 0u);
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
