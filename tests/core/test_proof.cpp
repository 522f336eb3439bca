// The verdict of the controller's own egress proof once the capture routes are in.

#include <algorithm>

#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

class Proof : public CoreScenario {
protected:
    // The listener runs while the state is still connecting; a verdict arrives after `after_sleeps`.
    void answer_with(bool passed, int after_sleeps, long long generation_offset = 0) {
        controller->set_tun_ready_listener([this](long long generation) {
            ready_calls.push_back(generation);
            EXPECT_EQ(controller->snapshot().state, SessionState::connecting);
        });
        host.sleeper.on_sleep = [this, passed, after_sleeps, generation_offset](int) {
            if (host.sleeper.sleeps == after_sleeps) {
                controller->record_proof(passed, controller->ledger_copy().generation + generation_offset);
            }
        };
    }
    std::vector<long long> ready_calls;
};

TEST_F(Proof, OkVerdictLetsTheSessionConnect) {
    answer_with(true, 3);
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.state, SessionState::connected);
    EXPECT_EQ(ready_calls, std::vector<long long>{1});
    const auto proof = host.log.with_event("proof");
    ASSERT_EQ(proof.size(), 1u);
    EXPECT_EQ(proof[0].code, "ok");
    EXPECT_EQ(host.sleeper.sleeps, 3);
}

TEST_F(Proof, FailVerdictEndsTheSessionWithEgressFailed) {
    answer_with(false, 1);
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.state, SessionState::idle);
    EXPECT_EQ(result.code, ErrorCode::egress_failed);
    EXPECT_EQ(result.message, MessageForCode(ErrorCode::egress_failed));
    EXPECT_TRUE(result.cleanup_verified);
    EXPECT_TRUE(host.log.has("proof", "fail"));
    EXPECT_TRUE(std::none_of(published.begin(), published.end(),
                             [](const TunnelSnapshot& s) { return s.state == SessionState::connected; }));
    expect_clean();
}

TEST_F(Proof, NoVerdictWithinTheWaitLetsTheSessionGoOn) {
    answer_with(true, 100000);
    const unsigned long long started = host.clock;
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.state, SessionState::connected);
    EXPECT_TRUE(host.log.has("proof", "timeout"));
    EXPECT_EQ(host.sleeper.sleeps, TunnelController::kProofWaitSteps);
    EXPECT_EQ(host.clock - started, 40000u);
}

// The controller's proof may take its whole time (a slow name, a slow connect, twenty slow
// reads): its verdict still decides the session.
TEST_F(Proof, AVerdictAsLateAsTheControllersLongestProofStillCounts) {
    struct Row {
        bool passed;
        int after_ms;
        SessionState state;
        ErrorCode code;
        const char* proof_line;
    };
    const Row rows[] = {
        {false, 27000, SessionState::idle, ErrorCode::egress_failed, "fail"},
        {true, 27000, SessionState::connected, ErrorCode::none, "ok"},
        {false, kProofLongestMs, SessionState::idle, ErrorCode::egress_failed, "fail"},
        {true, kProofLongestMs + 1000, SessionState::connected, ErrorCode::none, "ok"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.after_ms);
        if (controller->snapshot().state != SessionState::idle) controller->stop();
        host.log.lines.clear();
        host.sleeper.sleeps = 0;
        answer_with(row.passed, row.after_ms / TunnelController::kProofWaitStepMs);
        const TunnelSnapshot result = connect();
        EXPECT_EQ(result.state, row.state);
        EXPECT_EQ(result.code, row.code);
        EXPECT_TRUE(host.log.has("proof", row.proof_line));
        EXPECT_FALSE(host.log.has("proof", "timeout"));
    }
}

TEST_F(Proof, NobodyToAnswerEndsTheWait) {
    struct Row {
        const char* name;
        int present_for_sleeps;  // -1: nobody got the tun_ready
        int expected_sleeps;
    };
    const Row rows[] = {{"no_client_at_tun_ready", -1, 0}, {"client_left_during_the_wait", 5, 5}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (controller->snapshot().state != SessionState::idle) controller->stop();
        host.log.lines.clear();
        host.sleeper.sleeps = 0;
        answer_with(true, 100000);
        controller->set_proof_audience(
            [this, &row] { return row.present_for_sleeps >= 0 && host.sleeper.sleeps < row.present_for_sleeps; });
        const TunnelSnapshot result = connect();
        EXPECT_EQ(result.state, SessionState::connected);
        EXPECT_EQ(host.sleeper.sleeps, row.expected_sleeps);
        const auto proof = host.log.with_event("proof");
        ASSERT_EQ(proof.size(), 1u);
        EXPECT_EQ(proof[0].code, "no_client");
        controller->set_proof_audience(nullptr);
    }
}

TEST_F(Proof, AVerdictThatCameBeforeTheClientLeftStillCounts) {
    answer_with(false, 3);
    controller->set_proof_audience([this] { return host.sleeper.sleeps < 3; });
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.code, ErrorCode::egress_failed);
    EXPECT_TRUE(host.log.has("proof", "fail"));
}

TEST_F(Proof, CancelDuringTheWaitEndsCancelled) {
    answer_with(true, 1000);
    host.sleeper.on_sleep = [this](int) {
        if (host.sleeper.sleeps == 5) cancel.store(true);
    };
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.state, SessionState::idle);
    EXPECT_EQ(result.code, ErrorCode::none);
    EXPECT_TRUE(result.message.empty());
    EXPECT_TRUE(host.log.with_event("proof").empty());
    expect_clean();
}

TEST_F(Proof, VerdictForAnotherGenerationIsIgnored) {
    answer_with(false, 1, -1);
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.state, SessionState::connected);
    EXPECT_TRUE(host.log.has("proof", "timeout"));
}

TEST_F(Proof, AnEarlierSessionsVerdictDoesNotDecideTheNextOne) {
    answer_with(false, 1);
    EXPECT_EQ(connect().code, ErrorCode::egress_failed);
    host.sleeper.on_sleep = nullptr;
    const TunnelSnapshot second = connect();
    EXPECT_EQ(second.generation, 2);
    EXPECT_EQ(second.state, SessionState::connected);
    EXPECT_TRUE(host.log.has("proof", "timeout"));
}

TEST_F(Proof, WithoutAListenerThereIsNoWait) {
    connect_ok();
    EXPECT_EQ(host.sleeper.sleeps, 0);
    EXPECT_TRUE(host.log.with_event("proof").empty());
}

TEST_F(Proof, RecordProofForAnotherGenerationChangesNothing) {
    ASSERT_TRUE(controller->begin_connect().accepted);
    controller->record_proof(false, 4);
    controller->set_tun_ready_listener([](long long) {});
    EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::connected);
}

}  // namespace
}  // namespace vantorel
