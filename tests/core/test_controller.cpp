// Admission, generations and publishing.

#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

class Controller : public CoreScenario {};

TEST_F(Controller, FreshControllerIsIdleAndVerified) {
    const TunnelSnapshot fresh = controller->snapshot();
    EXPECT_EQ(fresh.state, SessionState::idle);
    EXPECT_EQ(fresh.generation, 0);
    EXPECT_EQ(fresh.code, ErrorCode::none);
    EXPECT_TRUE(fresh.message.empty());
    EXPECT_TRUE(fresh.cleanup_verified);
}

TEST_F(Controller, AdmissionOpensGenerationOneAndSavesTheLedger) {
    const ConnectAdmission admission = controller->begin_connect();
    ASSERT_TRUE(admission.accepted);
    EXPECT_EQ(admission.snapshot.state, SessionState::connecting);
    EXPECT_EQ(admission.snapshot.generation, 1);
    EXPECT_FALSE(admission.snapshot.cleanup_verified);
    ASSERT_EQ(host.files.saved.size(), 1u);
    EXPECT_EQ(host.files.saved[0].phase, SessionState::connecting);
    EXPECT_EQ(host.files.saved[0].generation, 1);
    ASSERT_EQ(host.log.lines.size(), 1u);
    EXPECT_EQ(host.log.lines[0].event, "connecting");
    EXPECT_EQ(host.log.lines[0].generation, 1);
    EXPECT_TRUE(published.empty());  // the first state event comes from run_connect
}

TEST_F(Controller, SecondConnectWhileConnectingIsBusyAndLeavesTheSessionAlone) {
    ASSERT_TRUE(controller->begin_connect().accepted);
    const std::size_t saves = host.files.saved.size();
    const ConnectAdmission second = controller->begin_connect();
    EXPECT_FALSE(second.accepted);
    EXPECT_EQ(second.snapshot.code, ErrorCode::busy);
    EXPECT_EQ(second.snapshot.message, MessageForCode(ErrorCode::busy));
    EXPECT_EQ(second.snapshot.generation, 1);
    // The refusal is the refused client's answer only: status still shows the session as it is.
    EXPECT_EQ(controller->snapshot().code, ErrorCode::none);
    EXPECT_TRUE(controller->snapshot().message.empty());
    EXPECT_EQ(controller->snapshot().state, SessionState::connecting);
    EXPECT_EQ(host.files.saved.size(), saves);
    EXPECT_EQ(host.log.lines.size(), 1u);
    // The first session still runs to connected.
    EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::connected);
    EXPECT_EQ(controller->snapshot().code, ErrorCode::none);
}

TEST_F(Controller, ConnectWhileConnectedIsBusy) {
    connect_ok();
    EXPECT_EQ(controller->begin_connect().snapshot.code, ErrorCode::busy);
}

TEST_F(Controller, ConnectAfterFailedTeardownIsRefusedWithCleanupFailed) {
    connect_ok();
    host.fail("remove_adapter", 5);
    EXPECT_EQ(controller->stop().code, ErrorCode::cleanup_failed);
    const ConnectAdmission refused = controller->begin_connect();
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.snapshot.code, ErrorCode::cleanup_failed);
    EXPECT_EQ(refused.snapshot.message, "Ошибка восстановления сети. Перезапустите службу");
}

TEST_F(Controller, GenerationGrowsByOnePerAdmittedConnect) {
    for (long long expected = 1; expected <= 3; ++expected) {
        EXPECT_EQ(connect().generation, expected);
        EXPECT_EQ(controller->stop().generation, expected);
    }
}

TEST_F(Controller, PublishWritesTheLedgerOnlyWhileUnverified) {
    connect_ok();
    const std::size_t before = host.files.saved.size();
    controller->stop();
    // Teardown saves once at its start; the verified publish adds nothing and the file is gone.
    EXPECT_EQ(host.files.saved.size(), before + 1);
    EXPECT_FALSE(host.files.ledger_text.has_value());
}

TEST_F(Controller, EveryLineCarriesTheSessionGeneration) {
    connect_ok();
    controller->stop();
    connect_ok();
    bool second_session = false;
    for (const FakeLogLine& line : host.log.lines) {
        if (line.event == "connecting" && line.generation == 2) second_session = true;
        EXPECT_EQ(line.generation, second_session ? 2 : 1) << line.event << " " << line.code;
    }
}

}  // namespace
}  // namespace vantorel
