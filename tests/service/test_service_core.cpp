// The service core with its worker thread running: recovery, listeners feeding the attached
// client, the proof round trip, suspend and stop.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/service/service_core.h"
#include "tests/fakes/fake_host.h"
#include "tests/fakes/locked_tunnel_log.h"
#include "tests/service/dispatch_fixture.h"

namespace vantorel {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class ServiceCoreTest : public ::testing::Test {
protected:
    ServiceCoreTest()
        : controller(host.routes, host.engine, host.resolver, host.probe, host.files, log, host.sleeper,
                     host.firewall) {
        ServiceCoreHooks hooks;
        hooks.on_ready = [this] { ready.set_value(); };
        hooks.clear_log = [] { return std::vector<std::string>{}; };
        hooks.steady_ms = [] { return 1000000LL; };
        hooks.flow_probe_factory = MakeFakeFlowProbeFactory(host);
        core = std::make_unique<ServiceCore>(controller, log, std::move(hooks));
        core->install_listeners();
    }

    ~ServiceCoreTest() override {
        core->begin_stop();
        core->join_worker();
    }

    void start() {
        ASSERT_TRUE(core->start_worker());
        ASSERT_EQ(ready.get_future().wait_for(5s), std::future_status::ready);
    }

    // Takes documents off the outbox until one matches, as the client session would.
    bool await_document(const std::function<bool(const json&)>& match, json* found = nullptr) {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until) {
            std::string document;
            while (core->outbox().take_front(document)) {
                received.push_back(json::parse(document));
                if (match(received.back())) {
                    if (found) *found = received.back();
                    return true;
                }
            }
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    static std::function<bool(const json&)> State(const std::string& state) {
        return [state](const json& d) { return d["event"] == "state" && d["state"] == state; };
    }

    FakeHost host;
    LockedTunnelLog log;
    TunnelController controller;
    std::promise<void> ready;
    std::unique_ptr<ServiceCore> core;
    std::vector<json> received;
};

TEST_F(ServiceCoreTest, RecoveryRunsBeforeReadyAndCleansALeftoverSession) {
    // A crashed broker left an engine configuration behind; recovery removes it before ready.
    host.files.engine_config = std::string("{}");
    start();
    EXPECT_FALSE(host.files.engine_config.has_value());
    const TunnelSnapshot snapshot = controller.snapshot();
    EXPECT_EQ(snapshot.state, SessionState::idle);
    EXPECT_TRUE(snapshot.cleanup_verified);
}

TEST_F(ServiceCoreTest, AttachedClientSeesAckAndTheSessionsStateEvents) {
    start();
    core->outbox().attach();
    core->dispatch(ConnectDocument());
    json connected;
    ASSERT_TRUE(await_document(State("connected"), &connected));
    EXPECT_EQ(connected["generation"], 1);
    // The connecting event and tun_ready came before connected; the ack may come on either side,
    // since it is queued only after the worker has the task.
    bool connecting = false, tun_ready = false;
    for (std::size_t i = 0; i + 1 < received.size(); ++i) {
        const json& d = received[i];
        if (d["event"] == "state" && d["state"] == "connecting") connecting = true;
        if (d["event"] == "tun_ready") tun_ready = d["generation"] == 1 && d["state"] == "connecting";
    }
    EXPECT_TRUE(connecting);
    EXPECT_TRUE(tun_ready);
    const auto is_ack = [](const json& d) { return d["event"] == "ack"; };
    json ack;
    bool ack_seen = false;
    for (const json& d : received) {
        if (is_ack(d)) {
            ack = d;
            ack_seen = true;
        }
    }
    if (!ack_seen) {
        ASSERT_TRUE(await_document(is_ack, &ack));
    }
    EXPECT_EQ(ack["accepted"], true);
    EXPECT_EQ(ack["generation"], 1);
    // No verdict came: the core gave up waiting and went on.
    EXPECT_TRUE(log.has("proof", "timeout"));
}

TEST_F(ServiceCoreTest, ProveAfterTunReadyIsAcceptedAndRecorded) {
    // Let the core's wait for the verdict take real time, so this thread can answer.
    host.sleeper.on_sleep = [](int) { std::this_thread::sleep_for(5ms); };
    start();
    core->outbox().attach();
    core->dispatch(ConnectDocument());
    json ready_event;
    ASSERT_TRUE(await_document([](const json& d) { return d["event"] == "tun_ready"; }, &ready_event));
    core->dispatch(ProveDocument(ready_event["generation"].get<unsigned long long>(), "ok"));
    json ack;
    ASSERT_TRUE(await_document([](const json& d) { return d["event"] == "ack" && d["command"] == "prove"; }, &ack));
    EXPECT_EQ(ack["accepted"], true);
    ASSERT_TRUE(await_document(State("connected")));
    EXPECT_TRUE(log.has("proof", "ok"));
}

// Only the client session that received tun_ready can answer it: once it has gone, even if
// another client has attached since, the wait for the verdict ends.
TEST_F(ServiceCoreTest, TheProofWaitEndsWhenTheClientThatGotTunReadyIsGone) {
    struct Row {
        const char* name;
        bool another_attaches;
    };
    for (const Row& row : {Row{"client_left", false}, Row{"another_client_came", true}}) {
        SCOPED_TRACE(row.name);
        std::promise<void> recovered;
        ServiceCoreHooks hooks;
        hooks.on_ready = [&recovered] { recovered.set_value(); };
        hooks.clear_log = [] { return std::vector<std::string>{}; };
        hooks.steady_ms = [] { return 1000000LL; };
        FakeHost fresh;
        LockedTunnelLog fresh_log;
        TunnelController fresh_controller(fresh.routes, fresh.engine, fresh.resolver, fresh.probe, fresh.files,
                                          fresh_log, fresh.sleeper, fresh.firewall);
        ServiceCore fresh_core(fresh_controller, fresh_log, std::move(hooks));
        fresh_core.install_listeners();
        // The first sleep is the first step of the wait: the client goes away there.
        fresh.sleeper.on_sleep = [&](int) {
            if (fresh.sleeper.sleeps != 1) return;
            fresh_core.outbox().detach();
            if (row.another_attaches) fresh_core.outbox().attach();
        };
        ASSERT_TRUE(fresh_core.start_worker());
        ASSERT_EQ(recovered.get_future().wait_for(5s), std::future_status::ready);
        fresh_core.outbox().attach();
        fresh_core.dispatch(ConnectDocument());
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (fresh_controller.snapshot().state != SessionState::connected &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(2ms);
        }
        EXPECT_EQ(fresh_controller.snapshot().state, SessionState::connected);
        fresh_core.begin_stop();
        fresh_core.join_worker();
        EXPECT_TRUE(fresh_log.has("proof", "no_client"));
        EXPECT_FALSE(fresh_log.has("proof", "timeout"));
        EXPECT_EQ(fresh.sleeper.sleeps, 1);
    }
}

TEST_F(ServiceCoreTest, EventsWhileDetachedAreLostAndHelloTellsTheState) {
    start();
    core->dispatch(ConnectDocument());  // nobody attached: the ack and the events are dropped
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (controller.snapshot().state != SessionState::connected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(controller.snapshot().state, SessionState::connected);
    // Nobody could answer the tun_ready, so the connect did not wait for a verdict.
    EXPECT_TRUE(log.has("proof", "no_client"));
    // Only the engine's control-API settle slept; a proof wait would be hundreds of steps.
    EXPECT_LE(host.sleeper.sleeps, TunnelController::kApiListenPolls);
    core->outbox().attach();
    EXPECT_EQ(core->outbox().size(), 0u);
    core->dispatch(kHelloCommand);
    json state;
    ASSERT_TRUE(await_document(State("connected"), &state));
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(state["generation"], 1);
}

TEST_F(ServiceCoreTest, SuspendWhileIdleAndCleanChangesNothing) {
    start();
    core->handle_suspend();
    EXPECT_FALSE(core->cancel().load());
    // A marker task runs only after anything the suspend might have posted.
    std::promise<void> marker;
    core->strand().post([&] { marker.set_value(); });
    ASSERT_EQ(marker.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(log.has("disconnecting", ""));
}

TEST_F(ServiceCoreTest, SuspendWhileConnectedEndsTheSessionAndTheServiceGoesOn) {
    start();
    core->outbox().attach();
    core->dispatch(ConnectDocument());
    ASSERT_TRUE(await_document(State("connected")));
    core->handle_suspend();
    EXPECT_TRUE(core->cancel().load());
    json idle;
    ASSERT_TRUE(await_document(State("idle"), &idle));
    EXPECT_EQ(idle["cleanup_verified"], true);
    EXPECT_FALSE(core->stopping());
    std::string why;
    EXPECT_TRUE(host.clean(why)) << why;
    // The next connect is admitted.
    core->dispatch(ConnectDocument());
    ASSERT_TRUE(await_document(State("connected")));
}

TEST_F(ServiceCoreTest, StopEndsALiveSessionWithTheFinalStop) {
    start();
    core->outbox().attach();
    core->dispatch(ConnectDocument());
    ASSERT_TRUE(await_document(State("connected")));
    core->begin_stop();
    EXPECT_TRUE(core->cancel().load());
    core->join_worker();
    const TunnelSnapshot snapshot = controller.snapshot();
    EXPECT_EQ(snapshot.state, SessionState::idle);
    EXPECT_TRUE(snapshot.cleanup_verified);
    std::string why;
    EXPECT_TRUE(host.clean(why)) << why;
}

TEST_F(ServiceCoreTest, StopDuringALongConnectCancelsIt) {
    // The engine never brings up its adapter, so the connect waits in its TUN loop.
    host.engine_script.creates_tun = false;
    std::promise<void> waiting;
    std::atomic<bool> signalled{false};
    host.sleeper.on_sleep = [&](int) {
        if (!signalled.exchange(true)) waiting.set_value();
        std::this_thread::sleep_for(20ms);
    };
    start();
    core->dispatch(ConnectDocument());
    ASSERT_EQ(waiting.get_future().wait_for(10s), std::future_status::ready);
    const auto began = std::chrono::steady_clock::now();
    core->begin_stop();
    core->join_worker();
    // 50 polls of 20 ms would take a second; the cancel cuts the wait short.
    EXPECT_LT(std::chrono::steady_clock::now() - began, 800ms);
    const TunnelSnapshot snapshot = controller.snapshot();
    EXPECT_EQ(snapshot.state, SessionState::idle);
    EXPECT_TRUE(snapshot.cleanup_verified);
    EXPECT_FALSE(log.has("core", "tun_init_timeout"));
}

}  // namespace
}  // namespace vantorel
