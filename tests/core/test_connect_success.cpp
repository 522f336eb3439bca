// A connect that works: the ledger it leaves behind at every step, its log and its events.

#include <nlohmann/json.hpp>

#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

class ConnectSuccess : public CoreScenario {};

TEST_F(ConnectSuccess, SavesTheLedgerEntriesInOrder) {
    connect_ok();
    const std::vector<SessionLedger>& saved = host.files.saved;
    ASSERT_EQ(saved.size(), kConnectLedgerSaves);
    for (const SessionLedger& entry : saved) EXPECT_EQ(entry.generation, 1);

    // Admission, then the first publish: nothing on the host yet.
    for (int i : {0, 1}) {
        EXPECT_EQ(saved[i].phase, SessionState::connecting);
        EXPECT_FALSE(saved[i].cleanup_verified);
        EXPECT_FALSE(saved[i].config_written);
        EXPECT_EQ(saved[i].pid, 0u);
    }
    EXPECT_TRUE(saved[2].config_written);
    EXPECT_EQ(saved[2].pid, 0u);

    EXPECT_EQ(saved[3].pid, host.process.pid);
    EXPECT_NE(saved[3].pid, 0u);
    EXPECT_FALSE(saved[3].adapter_known);

    EXPECT_TRUE(saved[4].adapter_known);
    EXPECT_EQ(saved[4].adapter.name, "VantorelTun");
    EXPECT_EQ(saved[4].adapter.luid, FakeHost::kTunLuid);
    EXPECT_EQ(saved[4].adapter.index, FakeHost::kTunIndex);
    EXPECT_FALSE(saved[4].pin_intended);

    EXPECT_TRUE(saved[5].pin_intended);
    EXPECT_EQ(saved[5].pin.destination, kServerIp);
    EXPECT_EQ(saved[5].pin.interface_luid, FakeHost::kEthernetLuid);
    EXPECT_EQ(saved[5].pin.interface_index, FakeHost::kEthernetIndex);
    EXPECT_EQ(saved[5].pin.next_hop, "192.168.1.1");
    EXPECT_EQ(saved[5].pin.metric, 25u);
    EXPECT_TRUE(saved[5].routes.empty());

    ASSERT_EQ(saved[6].routes.size(), 1u);
    EXPECT_EQ(saved[6].routes[0].destination, kCheckIp);
    EXPECT_EQ(saved[6].routes[0].prefix_length, 32);
    EXPECT_EQ(saved[6].routes[0].interface_luid, FakeHost::kTunLuid);

    EXPECT_TRUE(saved[7].routes.empty());
    EXPECT_FALSE(saved[7].firewall_open);

    // The tunnel's resolver, then the filters, are entered before they are asked for, and
    // before any capture route exists.
    EXPECT_EQ(saved[8].tunnel_dns_guid, saved[4].adapter.guid);
    EXPECT_FALSE(saved[8].firewall_open);
    EXPECT_TRUE(saved[9].firewall_open);
    EXPECT_TRUE(saved[9].routes.empty());

    ASSERT_EQ(saved[10].routes.size(), 4u);
    const char* halves[] = {"0.0.0.0", "128.0.0.0", "::", "8000::"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(saved[10].routes[i].destination, halves[i]);
        EXPECT_EQ(saved[10].routes[i].prefix_length, 1);
        EXPECT_EQ(saved[10].routes[i].interface_index, FakeHost::kTunIndex);
    }
    EXPECT_EQ(saved[10].phase, SessionState::connecting);
    EXPECT_EQ(saved[11].phase, SessionState::connected);
    EXPECT_EQ(saved[12].phase, SessionState::connected);
    EXPECT_FALSE(saved[12].cleanup_verified);
    EXPECT_TRUE(saved[12].firewall_open);
}

TEST_F(ConnectSuccess, PublishesConnectingThenConnected) {
    const TunnelSnapshot result = connect_ok();
    EXPECT_EQ(result.generation, 1);
    EXPECT_FALSE(result.cleanup_verified);
    EXPECT_TRUE(result.message.empty());
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0].state, SessionState::connecting);
    EXPECT_EQ(published[1].state, SessionState::connected);
    EXPECT_EQ(controller->snapshot().state, SessionState::connected);
}

// A slow but healthy Wintun start: the adapter after 8 s, the engine saying nothing but INFO.
TEST_F(ConnectSuccess, WaitsForAnAdapterThatTakesEightSeconds) {
    host.engine_script.tun_after_polls = 80;
    host.engine_script.output = "INFO[0000] inbound/tun[tun-in]: started\n";
    const TunnelSnapshot result = connect_ok();
    EXPECT_EQ(result.state, SessionState::connected);
    EXPECT_TRUE(host.log.with_event("tun_init_timeout").empty());
}

TEST_F(ConnectSuccess, LogsTheStagesInOrder) {
    connect_ok();
    std::vector<std::string> gates;
    for (const FakeLogLine& line : host.log.lines) {
        if (line.event == "gate") gates.push_back(line.code);
    }
    const std::vector<std::string> expected = {
        "foreign_tunnel", "foreign_tunnel=ok", "resolve",     "resolve=ok", "core",       "core=ok",
        "foreign_tunnel", "foreign_tunnel=ok", "routes",      "resolve",    "resolve=ok", "egress",
        "egress=ok",      "firewall",          "firewall=ok", "routes=ok"};
    EXPECT_EQ(gates, expected);
    const auto installed = host.log.with_event("routes");
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0].code, "capture_installed");
    EXPECT_EQ(installed[0].win32, 4u);
    EXPECT_EQ(host.log.lines.front().event, "connecting");
}

TEST_F(ConnectSuccess, LeavesTheHostRoutedThroughTheTun) {
    connect_ok();
    EXPECT_TRUE(host.process.alive);
    EXPECT_TRUE(host.process.in_job);
    EXPECT_TRUE(host.files.engine_config.has_value());
    EXPECT_TRUE(host.has_host_route(kServerIp));
    EXPECT_FALSE(host.has_host_route(kCheckIp));
    EXPECT_EQ(host.routes_on(FakeHost::kTunLuid).size(), 4u);
    ASSERT_TRUE(host.filters.installed);
    EXPECT_EQ(host.filters.opens, 1);
    EXPECT_EQ(host.filters.policy.tun_luid, FakeHost::kTunLuid);
    EXPECT_EQ(host.filters.policy.server_ipv4, kServerIp);
    EXPECT_EQ(host.filters.policy.direct_subnets,
              (std::vector<std::string>{"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "fc00::/7", "fe80::/10"}));
    EXPECT_TRUE(host.filters.policy.dns_only_through_tunnel);
    const std::string tun_guid = host.interface_by_alias("VantorelTun")->guid;
    EXPECT_EQ(host.filters.tunnel_dns, (std::map<std::string, std::string>{{tun_guid, "198.18.0.2"}}));
    EXPECT_EQ(host.filters.resolver_flushes, 1);
    EXPECT_EQ(host.resolver.asked, (std::vector<std::string>{"vpn.example.net", kConnectivityCheckHost}));
}

TEST_F(ConnectSuccess, AnAdapterRenamedLikeTheTunGetsNoCapture) {
    FakeInterface& impostor = host.add_interface("VantorelTun", 7000, 55, false);
    impostor.guid = "{00000037-0000-0000-0000-4E6574446576}";
    impostor.up = true;
    connect_ok();
    EXPECT_EQ(host.routes_on(FakeHost::kTunLuid).size(), 4u);
    EXPECT_TRUE(host.routes_on(7000).empty());
}

TEST_F(ConnectSuccess, WithAFactoryTheEngineGetsAnApiPortAndSecret) {
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    connect_ok();
    ASSERT_EQ(host.factory_calls.size(), 1u);
    EXPECT_EQ(host.factory_calls[0].first, host.probe.free_port);
    const std::string& secret = host.factory_calls[0].second;
    EXPECT_EQ(secret.size(), 48u);
    EXPECT_TRUE(host.log.has("flow", "api_port=39201"));
    ASSERT_TRUE(host.files.engine_config.has_value());
    const nlohmann::json config = nlohmann::json::parse(*host.files.engine_config, nullptr, false);
    ASSERT_FALSE(config.is_discarded());
    EXPECT_EQ(config["experimental"]["clash_api"]["external_controller"], "127.0.0.1:39201");
    EXPECT_EQ(config["experimental"]["clash_api"]["secret"], secret);
    // The secret never reaches the log.
    for (const FakeLogLine& line : host.log.lines) EXPECT_EQ(line.code.find(secret), std::string::npos);
}

// Another process bound the reserved port before the engine did: one more start, on a port
// reserved anew, and the port is logged only once the engine listens on it.
TEST_F(ConnectSuccess, AnApiPortTakenBeforeTheEngineBindsItGetsOneMoreStart) {
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    host.engine_script.api_taken_starts = 1;
    int reserves = 0;
    host.on_operation = [this, &reserves](const std::string& operation) {
        if (operation == "reserve_local_port" && ++reserves == 2) host.probe.free_port = 39202;
    };
    connect_ok();
    EXPECT_EQ(host.engine.starts, 2);
    ASSERT_EQ(host.factory_calls.size(), 2u);
    EXPECT_EQ(host.factory_calls[1].first, 39202);
    EXPECT_NE(host.factory_calls[1].second, host.factory_calls[0].second);
    std::vector<std::string> flow;
    for (const FakeLogLine& line : host.log.with_event("flow")) flow.push_back(line.code);
    EXPECT_EQ(flow, (std::vector<std::string>{"api_port_taken", "api_port=39202"}));
    EXPECT_EQ(controller->ledger_copy().pid, host.process.pid);
}

TEST_F(ConnectSuccess, AnApiPortTakenTwiceEndsTheConnect) {
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    host.engine_script.api_taken_starts = 2;
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.code, ErrorCode::core_exited);
    EXPECT_TRUE(result.cleanup_verified);
    EXPECT_EQ(host.engine.starts, 2);
    EXPECT_EQ(host.log.with_event("flow").size(), 1u);  // api_port_taken, never a port
    EXPECT_TRUE(host.log.has("flow", "api_port_taken"));
}

TEST_F(ConnectSuccess, WithoutAFreePortTheSessionRunsUnmonitored) {
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    host.fail("reserve_local_port", 10048);
    connect_ok();
    EXPECT_TRUE(host.factory_calls.empty());
    EXPECT_TRUE(host.log.with_event("flow").empty());
    ASSERT_TRUE(host.files.engine_config.has_value());
    const nlohmann::json config = nlohmann::json::parse(*host.files.engine_config, nullptr, false);
    ASSERT_FALSE(config.is_discarded());
    EXPECT_FALSE(config["experimental"].contains("clash_api"));
}

TEST_F(ConnectSuccess, AFactoryThatMakesNothingLeavesTheApiOff) {
    controller->set_flow_probe_factory([](unsigned short, const std::string&) { return std::unique_ptr<FlowProbe>(); });
    connect_ok();
    EXPECT_TRUE(host.log.with_event("flow").empty());
    EXPECT_EQ(host.files.engine_config->find("39201"), std::string::npos);
}

TEST_F(ConnectSuccess, AJobForANoLongerConnectingSessionChangesNothing) {
    const TunnelSnapshot before = controller->snapshot();
    const TunnelSnapshot result = controller->run_connect(job, cancel);
    EXPECT_EQ(result.state, before.state);
    EXPECT_EQ(result.generation, 0);
    EXPECT_TRUE(host.log.lines.empty());
    EXPECT_EQ(host.files.saves, 0);
    EXPECT_EQ(host.process.pid, 0u);
}

TEST_F(ConnectSuccess, StopAfterConnectCleansAndKeepsTheGeneration) {
    connect_ok();
    const TunnelSnapshot stopped = controller->stop();
    EXPECT_EQ(stopped.state, SessionState::idle);
    EXPECT_EQ(stopped.code, ErrorCode::none);
    EXPECT_TRUE(stopped.message.empty());
    EXPECT_TRUE(stopped.cleanup_verified);
    EXPECT_EQ(stopped.generation, 1);
    expect_clean();
    EXPECT_EQ(connect().generation, 2);
}

}  // namespace
}  // namespace vantorel
