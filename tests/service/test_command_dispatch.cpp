// Every reply and log record of the command dispatch, against a real TunnelController.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/codes.h"
#include "tests/service/dispatch_fixture.h"

namespace vantorel {
namespace {

using nlohmann::json;

const char kProtocolMessage[] = "Переустановите Ванторел";

void ExpectAck(const json& ack, const std::string& command, bool accepted, long long generation, const json& code,
               const json& message) {
    EXPECT_EQ(ack["event"], "ack");
    EXPECT_EQ(ack["command"], command);
    EXPECT_EQ(ack["accepted"], accepted);
    EXPECT_EQ(ack["generation"], generation);
    EXPECT_EQ(ack["code"], code);
    EXPECT_EQ(ack["message"], message);
    EXPECT_EQ(ack.size(), 6u);
}

using DispatchTest = DispatchFixture;

TEST_F(DispatchTest, UnreadableCommandsAreRefusedAsConnectWithTheProtocolCode) {
    admit_connect();  // the reply must carry the current generation, 1
    const std::vector<std::string> payloads = {
        "",
        "{}",
        "{\"command\":5,\"protocol_version\":3}",
        "{\"command\":\"connect\",\"protocol_version\":3,\"outbounds\":[]}",
        "{\"command\":\"connect\",\"protocol_version\":3,\"inbounds\":[]}",
        "{\"command\":\"connect\",\"protocol_version\":3,\"udp_direct\":true}",
        "{\"command\":\"disconnect\",\"protocol_version\":3,\"generation\":-1}",
        "{\"command\":\"hello\",\"protocol_version\":\"3\"}",
    };
    for (const auto& payload : payloads) {
        SCOPED_TRACE(payload);
        replies.clear();
        host.log.lines.clear();
        send(payload);
        ASSERT_EQ(replies.size(), 1u);
        ExpectAck(last_reply(), "connect", false, 1, "protocol", kProtocolMessage);
        ASSERT_EQ(host.log.lines.size(), 1u);
        EXPECT_EQ(host.log.lines[0].event, "frame");
        EXPECT_EQ(host.log.lines[0].code, "protocol");
        EXPECT_EQ(host.log.lines[0].generation, 0);
        EXPECT_EQ(host.log.lines[0].win32, 0u);
    }
    EXPECT_EQ(tasks.size(), 1u);  // only the admitted connect
}

TEST_F(DispatchTest, OtherProtocolVersionsAreRefusedUnderTheReceivedName) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"hello", "{\"command\":\"hello\",\"protocol_version\":2}"},
        {"hello", "{\"command\":\"hello\"}"},
        {"connect", "{\"command\":\"connect\",\"protocol_version\":4,\"uri\":\"x\"}"},
        {"disconnect", "{\"command\":\"disconnect\",\"protocol_version\":2,\"generation\":0}"},
        {"prove", "{\"command\":\"prove\",\"protocol_version\":0,\"generation\":0}"},
        {"clear_log", "{\"command\":\"clear_log\",\"protocol_version\":30}"},
        {"ping", "{\"command\":\"ping\",\"protocol_version\":2}"},
    };
    for (const auto& [name, payload] : rows) {
        SCOPED_TRACE(payload);
        replies.clear();
        send(payload);
        ASSERT_EQ(replies.size(), 1u);
        ExpectAck(last_reply(), name, false, 0, "protocol", kProtocolMessage);
    }
    EXPECT_TRUE(tasks.empty());
    EXPECT_EQ(clear_calls, 0);
    EXPECT_FALSE(cancel.load());
}

TEST_F(DispatchTest, OnlyTheLowThirtyTwoBitsOfTheVersionCount) {
    // 2^32 + 3 reads as version 3, so this unknown command is logged and not answered.
    send("{\"command\":\"ping\",\"protocol_version\":4294967299}");
    EXPECT_TRUE(replies.empty());
    ASSERT_EQ(lines("ping").size(), 1u);
    EXPECT_EQ(lines("ping")[0].code, "rx");
}

TEST_F(DispatchTest, WrongVersionsWriteNoLogLine) {
    send("{\"command\":\"disconnect\",\"protocol_version\":2,\"generation\":0}");
    send("{\"command\":\"hello\",\"protocol_version\":1}");
    EXPECT_TRUE(host.log.lines.empty());
}

TEST_F(DispatchTest, HelloAnswersWithTheStateAndIsLoggedAtMostEveryThirtySeconds) {
    struct Step {
        long long at_ms;
        bool logged;
    };
    const Step steps[] = {{100000, true}, {110000, false}, {129999, false},
                          {130000, true}, {140000, false}, {160000, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at_ms);
        now_ms = step.at_ms;
        const std::size_t before = lines("hello").size();
        send(kHelloCommand);
        EXPECT_EQ(lines("hello").size() - before, step.logged ? 1u : 0u);
        const json state = last_reply();
        EXPECT_EQ(state, json::parse(R"({"event":"state","generation":0,"state":"idle","code":null,
                                          "message":null,"cleanup_verified":true})"));
    }
    EXPECT_EQ(replies.size(), 6u);
    for (const auto& line : lines("hello")) EXPECT_EQ(line.code, "rx");
}

TEST_F(DispatchTest, FirstHelloIsLoggedEvenSoonAfterBoot) {
    now_ms = 5000;  // the steady clock starts near zero at boot
    send(kHelloCommand);
    EXPECT_EQ(lines("hello").size(), 1u);
}

TEST_F(DispatchTest, HelloReportsTheCurrentSession) {
    admit_connect();
    send(kHelloCommand);
    const json state = last_reply();
    EXPECT_EQ(state["generation"], 1);
    EXPECT_EQ(state["state"], "connecting");
    EXPECT_EQ(state["cleanup_verified"], false);
    EXPECT_EQ(lines("hello").at(0).generation, 1);
}

TEST_F(DispatchTest, ClearLogReportsWhatItCouldNotDelete) {
    struct Row {
        std::vector<std::string> left;
        bool accepted;
        std::string code;
    };
    const Row rows[] = {
        {{}, true, "cleared"},
        {{"service.log"}, false, "blocked service.log"},
        {{"service.log.1", "service.log"}, false, "blocked service.log.1 service.log"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        log_files_left = row.left;
        host.log.lines.clear();
        send("{\"command\":\"clear_log\",\"protocol_version\":3}");
        ExpectAck(last_reply(), "clear_log", row.accepted, 0, row.code, nullptr);
        ASSERT_EQ(host.log.lines.size(), 1u);
        EXPECT_EQ(host.log.lines[0].event, "logs");
        EXPECT_EQ(host.log.lines[0].code, row.code);
    }
    EXPECT_EQ(clear_calls, 3);
}

TEST_F(DispatchTest, DisconnectWithGenerationZeroWhileIdleStillPostsStop) {
    send(kDisconnectCommand);
    ExpectAck(last_reply(), "disconnect", true, 0, nullptr, nullptr);
    EXPECT_TRUE(cancel.load());
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(sequence, (std::vector<std::string>{"post", "reply"}));
    host.log.lines.clear();
    run_tasks();
    // The posted task is the controller's stop: it publishes idle again.
    EXPECT_FALSE(lines("idle").empty());
    EXPECT_EQ(controller->snapshot().state, SessionState::idle);
}

TEST_F(DispatchTest, DisconnectGenerationRules) {
    admit_connect();  // generation 1
    tasks.clear();
    struct Row {
        unsigned long long generation;
        bool accepted;
    };
    const Row rows[] = {{0, true}, {1, true}, {2, false}, {18446744073709551615ull, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.generation);
        cancel.store(false);
        tasks.clear();
        host.log.lines.clear();
        send(DisconnectDocument(row.generation));
        if (row.accepted) {
            ExpectAck(last_reply(), "disconnect", true, 1, nullptr, nullptr);
        } else {
            ExpectAck(last_reply(), "disconnect", false, 1, "generation", nullptr);
        }
        EXPECT_EQ(cancel.load(), row.accepted);
        EXPECT_EQ(tasks.size(), row.accepted ? 1u : 0u);
        ASSERT_EQ(lines("disconnect").size(), 1u);
        EXPECT_EQ(lines("disconnect")[0].code, "rx");
        EXPECT_EQ(lines("disconnect")[0].generation, 1);
    }
}

TEST_F(DispatchTest, ProveIsAcceptedOnlyForTheCurrentGenerationWhileConnecting) {
    admit_connect();
    struct Row {
        unsigned long long generation;
        bool accepted;
    };
    const Row rows[] = {{1, true}, {0, false}, {2, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.generation);
        send(ProveDocument(row.generation, "ok"));
        if (row.accepted) {
            ExpectAck(last_reply(), "prove", true, 1, nullptr, nullptr);
        } else {
            ExpectAck(last_reply(), "prove", false, 1, "generation", nullptr);
        }
    }
    EXPECT_EQ(lines("prove").size(), 3u);
    run_tasks();
    ASSERT_EQ(controller->snapshot().state, SessionState::connected);
    send(ProveDocument(1, "ok"));
    ExpectAck(last_reply(), "prove", false, 1, "generation", nullptr);
}

TEST_F(DispatchTest, ProveWhileIdleIsRefused) {
    send(ProveDocument(0, "ok"));
    ExpectAck(last_reply(), "prove", false, 0, "generation", nullptr);
}

// The verdict reaches the core while it waits after reporting the adapter ready.
TEST_F(DispatchTest, ProveVerdictDecidesTheConnect) {
    struct Row {
        std::string verdict;
        SessionState state;
        ErrorCode code;
        std::string proof_line;
    };
    const Row rows[] = {{"ok", SessionState::connected, ErrorCode::none, "ok"},
                        {"fail", SessionState::idle, ErrorCode::egress_failed, "fail"},
                        {"OK", SessionState::idle, ErrorCode::egress_failed, "fail"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.verdict);
        if (controller->snapshot().state != SessionState::idle) FAIL();
        std::vector<long long> ready;
        controller->set_tun_ready_listener([&](long long generation) { ready.push_back(generation); });
        host.sleeper.on_sleep = [&](int) {
            if (ready.empty()) return;
            send(ProveDocument(static_cast<unsigned long long>(ready.back()), row.verdict));
            host.sleeper.on_sleep = nullptr;
        };
        send(ConnectDocument());
        const long long generation = last_reply()["generation"];
        run_tasks();
        ASSERT_EQ(ready, std::vector<long long>{generation});
        const TunnelSnapshot snapshot = controller->snapshot();
        EXPECT_EQ(snapshot.state, row.state);
        EXPECT_EQ(snapshot.code, row.code);
        EXPECT_TRUE(host.log.has("proof", row.proof_line));
        if (snapshot.state == SessionState::connected) {
            send(DisconnectDocument(0));
            run_tasks();
        }
        host.log.lines.clear();
    }
}

TEST_F(DispatchTest, AdmittedConnectPostsItsTaskBeforeTheAck) {
    cancel.store(true);  // left over from an earlier disconnect
    send(ConnectDocument("[\"example.ru\",\"bad..name\"]"));
    ExpectAck(last_reply(), "connect", true, 1, nullptr, nullptr);
    EXPECT_EQ(sequence, (std::vector<std::string>{"post", "reply"}));
    EXPECT_FALSE(cancel.load());
    ASSERT_EQ(lines("connect").size(), 1u);
    EXPECT_EQ(lines("connect")[0].code, "rx");
    EXPECT_EQ(lines("connect")[0].generation, 0);  // logged before admission
    EXPECT_TRUE(lines("connect_truncated").empty());
    ASSERT_EQ(tasks.size(), 1u);
    run_tasks();
    EXPECT_EQ(controller->snapshot().state, SessionState::connected);
    // The job carried the command's list into the engine configuration.
    ASSERT_TRUE(host.files.engine_config.has_value());
    EXPECT_NE(host.files.engine_config->find("example.ru"), std::string::npos);
    EXPECT_EQ(host.files.engine_config->find("bad..name"), std::string::npos);
}

TEST_F(DispatchTest, TruncatedDirectListIsLoggedWithTheNewGeneration) {
    std::string list = "[";
    for (int i = 0; i < 513; ++i) list += (i ? ",\"d" : "\"d") + std::to_string(i) + ".example\"";
    list += "]";
    send(ConnectDocument(list));
    ExpectAck(last_reply(), "connect", true, 1, nullptr, nullptr);
    std::vector<FakeLogLine> truncated;
    for (const auto& line : lines("connect")) {
        if (line.code == "direct_domains_truncated") truncated.push_back(line);
    }
    ASSERT_EQ(truncated.size(), 1u);
    EXPECT_EQ(truncated[0].generation, 1);
    EXPECT_EQ(truncated[0].win32, 0u);
}

TEST_F(DispatchTest, ConnectWhileASessionRunsIsBusy) {
    admit_connect();
    tasks.clear();
    send(ConnectDocument());
    ExpectAck(last_reply(), "connect", false, 1, "busy", "Подключение уже идёт");
    EXPECT_TRUE(tasks.empty());
    EXPECT_EQ(controller->snapshot().generation, 1);
    // The refusal was the refused client's answer only: status shows the session unchanged.
    send("{\"command\":\"hello\",\"protocol_version\":3}");
    EXPECT_EQ(last_reply()["state"], "connecting");
    EXPECT_TRUE(last_reply()["code"].is_null());
    EXPECT_TRUE(last_reply()["message"].is_null());
}

TEST_F(DispatchTest, ConnectWhileConnectedIsBusy) {
    admit_connect();
    run_tasks();
    ASSERT_EQ(controller->snapshot().state, SessionState::connected);
    send(ConnectDocument());
    ExpectAck(last_reply(), "connect", false, 1, "busy", "Подключение уже идёт");
}

TEST_F(DispatchTest, ConnectAfterAnUnverifiedTeardownIsCleanupFailed) {
    admit_connect();
    tasks.clear();
    host.fail("list_own_adapters", 87);
    controller->stop();
    const TunnelSnapshot after = controller->snapshot();
    ASSERT_EQ(after.state, SessionState::disconnecting);
    ASSERT_FALSE(after.cleanup_verified);
    cancel.store(true);
    send(ConnectDocument());
    ExpectAck(last_reply(), "connect", false, 1, "cleanup_failed", "Ошибка восстановления сети. Перезапустите службу");
    EXPECT_TRUE(tasks.empty());
    EXPECT_TRUE(cancel.load());  // a refused connect leaves cancel alone
}

// The stop came after the strand took the connect's task: the connect is accepted and runs
// cancelled, since cancel is raised again after the admission.
TEST_F(DispatchTest, ConnectAdmittedWhileTheServiceStopsRunsCancelled) {
    stop_from_check = 3;  // after the check before admission and the one while deciding
    cancel.store(true);
    send(ConnectDocument());
    ExpectAck(last_reply(), "connect", true, 1, nullptr, nullptr);
    EXPECT_TRUE(cancel.load());
    run_tasks();
    const TunnelSnapshot snapshot = controller->snapshot();
    EXPECT_EQ(snapshot.state, SessionState::idle);
    EXPECT_TRUE(snapshot.cleanup_verified);
    EXPECT_FALSE(host.process.alive);
}

// A stop can come before the connect's check, while it is decided, when the strand no longer
// takes its task, or after the final stop has closed admission: no row is acked as accepted,
// the refusal says the service is stopping, nothing is admitted, and cancel stays raised.
struct StopRaceRow {
    const char* name;
    int stop_from_check;  // the dispatch's first check of the stop flag that sees it (0: none)
    bool strand_open;     // the strand still takes posts
    bool final_stop_ran;  // the final stop began before the connect
};

class ConnectDuringStop : public DispatchFixture, public ::testing::WithParamInterface<StopRaceRow> {};

void PrintTo(const StopRaceRow& row, std::ostream* out) { *out << row.name; }

TEST_P(ConnectDuringStop, IsRefusedAsServiceStoppingAndAdmitsNothing) {
    const StopRaceRow& row = GetParam();
    stop_from_check = row.stop_from_check;
    strand_open = row.strand_open;
    if (row.final_stop_ran) controller->final_stop();
    const int saves = host.files.saves;
    cancel.store(true);  // raised by the stop
    send(ConnectDocument());
    ExpectAck(last_reply(), "connect", false, 0, "service_stopping",
              "Служба Ванторел останавливается. Подключитесь, когда она снова запустится");
    EXPECT_TRUE(cancel.load());
    EXPECT_TRUE(tasks.empty());
    EXPECT_EQ(host.files.saves, saves);
    EXPECT_EQ(controller->snapshot().generation, 0);
    EXPECT_EQ(controller->snapshot().code, ErrorCode::none);
    controller->final_stop();
    const TunnelSnapshot last = controller->snapshot();
    EXPECT_EQ(last.state, SessionState::idle);
    EXPECT_TRUE(last.cleanup_verified);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    EXPECT_FALSE(host.process.alive);
}

INSTANTIATE_TEST_SUITE_P(Rows, ConnectDuringStop,
                         ::testing::Values(StopRaceRow{"stop_seen_before_admission", 1, false, false},
                                           StopRaceRow{"stop_seen_while_deciding", 2, false, false},
                                           StopRaceRow{"strand_takes_no_more_tasks", 0, false, false},
                                           StopRaceRow{"admission_already_closed", 0, true, true}),
                         [](const ::testing::TestParamInfo<StopRaceRow>& info) {
                             return std::string(info.param.name);
                         });

// Raises `flag`-style progress into a bounded wait: the pipe thread has looked at the controller
// `count` times more than `base`.
bool AwaitChecks(const std::atomic<int>& checks, int target) {
    for (int i = 0; i < 5000 && checks.load() < target; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return checks.load() >= target;
}

// Where `first` and `second` (event, generation) stand in the service log, in order.
bool LoggedBefore(const FakeTunnelLog& log, const std::string& first, long long first_generation,
                  const std::string& second, long long second_generation) {
    std::size_t a = log.lines.size(), b = log.lines.size();
    for (std::size_t i = 0; i < log.lines.size(); ++i) {
        const FakeLogLine& line = log.lines[i];
        if (a == log.lines.size() && line.event == first && line.generation == first_generation) a = i;
        if (line.event == second && line.generation == second_generation) b = i;
    }
    return a < b && b < log.lines.size();
}

// A user interface that reconnects sends a disconnect and then a connect at once: the connect
// waits on the pipe thread until the disconnect's stop has run, then is admitted.
struct ReconnectRow {
    const char* name;
    bool live;  // a connected session, or one that had already ended
};

TEST_F(DispatchTest, AReconnectWaitsForTheDisconnectsTeardownAndIsAdmittedAfterItsIdle) {
    const ReconnectRow rows[] = {{"after_an_ended_session", false}, {"of_a_connected_session", true}};
    for (const ReconnectRow& row : rows) {
        SCOPED_TRACE(row.name);
        if (controller->snapshot().state != SessionState::idle) controller->stop();
        tasks.clear();
        if (row.live) {
            admit_connect();
            run_tasks();
            ASSERT_EQ(controller->snapshot().state, SessionState::connected);
        }
        const long long ended = controller->snapshot().generation;
        send(DisconnectDocument(0));
        ASSERT_EQ(tasks.size(), 1u);
        std::function<void()> stop_task = std::move(tasks.front());
        tasks.clear();
        const int base = stopping_checks.load();
        bool decided_early = false;
        std::thread pipe;
        host.on_operation = [&](const std::string& operation) {
            if (operation != "list_own_adapters" || pipe.joinable()) return;
            pipe = std::thread([this] { send(ConnectDocument()); });
            // The connect has looked at the controller while the teardown holds the ledger.
            decided_early = !AwaitChecks(stopping_checks, base + 2) || !tasks.empty();
        };
        stop_task();
        stop_task = nullptr;  // the strand destroys a task once it has run
        ASSERT_TRUE(pipe.joinable());
        pipe.join();
        // Only now: the pipe thread's connect consults the hook too.
        host.on_operation = nullptr;
        EXPECT_FALSE(decided_early);
        ExpectAck(last_reply(), "connect", true, ended + 1, nullptr, nullptr);
        EXPECT_TRUE(LoggedBefore(host.log, "idle", ended, "connecting", ended + 1));
        EXPECT_FALSE(cancel.load());
        ASSERT_EQ(tasks.size(), 1u);
        run_tasks();
        EXPECT_EQ(controller->snapshot().state, SessionState::connected);
        EXPECT_EQ(controller->snapshot().generation, ended + 1);
    }
}

// A disconnect's stop that the strand drops (it was stopping) holds no connect back.
TEST_F(DispatchTest, ADroppedStopHoldsNoConnect) {
    send(DisconnectDocument(0));
    tasks.clear();
    send(ConnectDocument());
    ExpectAck(last_reply(), "connect", true, 1, nullptr, nullptr);
}

// What the client receives for one disconnect: a single idle state event for the session.
TEST_F(DispatchTest, EachDisconnectEndsWithOneIdleEvent) {
    struct Row {
        const char* name;
        bool admit;      // a connect was admitted before the disconnect
        bool run_first;  // and its task ran to connected
    };
    const Row rows[] = {
        {"while_connecting_before_the_task_ran", true, false},
        {"while_connected", true, true},
        {"while_idle", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (controller->snapshot().state != SessionState::idle) controller->stop();
        tasks.clear();
        if (row.admit) admit_connect();
        if (row.run_first) run_tasks();
        std::vector<TunnelSnapshot> events;
        controller->set_snapshot_listener([&events](const TunnelSnapshot& s) { events.push_back(s); });
        const long long generation = controller->snapshot().generation;
        send(DisconnectDocument(0));
        run_tasks();
        controller->set_snapshot_listener(nullptr);
        const auto idle = std::count_if(events.begin(), events.end(),
                                        [](const TunnelSnapshot& s) { return s.state == SessionState::idle; });
        EXPECT_EQ(idle, 1);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().state, SessionState::idle);
        EXPECT_EQ(events.back().generation, generation);
    }
}

// The controller's proof can take far longer than a few seconds; its verdict must still be
// awaited and accepted, never refused as being for another generation.
TEST_F(DispatchTest, ASlowProofsVerdictIsStillAwaited) {
    std::vector<long long> ready;
    controller->set_tun_ready_listener([&ready](long long generation) { ready.push_back(generation); });
    const int verdict_after_sleeps = 27000 / TunnelController::kProofWaitStepMs;
    host.sleeper.on_sleep = [&](int) {
        if (ready.empty() || host.sleeper.sleeps != verdict_after_sleeps) return;
        send(ProveDocument(static_cast<unsigned long long>(ready.back()), "fail"));
    };
    send(ConnectDocument());
    run_tasks();
    ASSERT_EQ(ready, std::vector<long long>{1});
    ExpectAck(last_reply(), "prove", true, 1, nullptr, nullptr);
    EXPECT_EQ(controller->snapshot().code, ErrorCode::egress_failed);
    EXPECT_TRUE(host.log.has("proof", "fail"));
}

TEST_F(DispatchTest, UnknownCommandsAreLoggedButNotAnswered) {
    admit_connect();
    replies.clear();
    tasks.clear();
    send("{\"command\":\"status\",\"protocol_version\":3}");
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(tasks.empty());
    ASSERT_EQ(lines("status").size(), 1u);
    EXPECT_EQ(lines("status")[0].generation, 1);
    EXPECT_EQ(lines("status")[0].code, "rx");
}

TEST_F(DispatchTest, ClientChosenNamesCannotForgeLogLines) {
    send("{\"command\":\"x\\r\\n2030-01-01T00:00:00Z generation=9 event=forged\",\"protocol_version\":3}");
    ASSERT_EQ(host.log.lines.size(), 1u);
    const std::string& event = host.log.lines[0].event;
    EXPECT_EQ(event.find_first_of("\r\n ="), std::string::npos) << event;
    EXPECT_EQ(event.substr(0, 3), "x??");
}

TEST(LoggableCommandName, KeepsKnownNamesAndMasksTheRest) {
    struct Row {
        std::string in, out;
    };
    const Row rows[] = {
        {"connect", "connect"},
        {"clear_log", "clear_log"},
        {"v1.2-beta", "v1.2-beta"},
        {"a b", "a?b"},
        {"\xD0\xBF", "??"},
        {std::string(80, 'n'), std::string(64, 'n')},
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(LoggableCommandName(row.in), row.out) << row.in;
}

TEST(SameGeneration, ComparesTheNumbersAsWritten) {
    EXPECT_TRUE(SameGeneration(0, 0));
    EXPECT_TRUE(SameGeneration(7, 7));
    EXPECT_FALSE(SameGeneration(8, 7));
    EXPECT_FALSE(SameGeneration(18446744073709551615ull, -1));
}

}  // namespace
}  // namespace vantorel
