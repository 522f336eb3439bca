// The 2-second tick: every phase, with and without the cancel flag, and each health check.

#include <algorithm>
#include <functional>

#include "broker/core/route_watch.h"
#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

constexpr char kLost[] = "Соединение прервано";
constexpr char kNetworkChanged[] = "Сеть изменилась. Подключение остановлено.";

void DropRoute(FakeHost& host, const std::string& destination, std::uint64_t luid) {
    auto& table = host.route_table;
    table.erase(std::remove_if(table.begin(), table.end(),
                               [&](const FakeRoute& r) { return r.destination == destination && r.luid == luid; }),
                table.end());
}

struct ConnectedTickRow {
    const char* name;
    std::function<void(FakeHost&)> change;
    bool ends;            // the tick ends the session
    std::string message;  // when it ends
    std::function<void(FakeHost&)> before_connect = nullptr;
};

void SkipIpv6Capture(FakeHost& host) { host.fail("add_capture_routes", 1168, -1, 2); }

void PrintTo(const ConnectedTickRow& row, std::ostream* out) { *out << row.name; }

std::vector<ConnectedTickRow> ConnectedRows() {
    return {
        {"healthy", [](FakeHost&) {}, false, ""},
        {"engine_killed_from_outside", [](FakeHost& h) { h.process.alive = false; }, true, kLost},
        {"engine_ended_with_a_reason",
         [](FakeHost& h) {
             h.engine_script.output = "FATAL[0042] inbound/tun[tun-in]: read failed: The device is not ready.\n";
             h.process.exit_status = 1;
             h.process.alive = false;
         },
         true, kLost},
        {"capture_half_removed", [](FakeHost& h) { DropRoute(h, "128.0.0.0", FakeHost::kTunLuid); }, true, kLost},
        {"tun_adapter_down", [](FakeHost& h) { h.interface_by_alias("VantorelTun")->up = false; }, true, kLost},
        {"default_route_moved_to_other_nic",
         [](FakeHost& h) {
             h.add_interface("Wi-Fi", 2000, 9, true);
             h.add_route("0.0.0.0", 0, 2000, "10.0.0.1", 5);
         },
         true, kNetworkChanged},
        {"metric_changed_on_same_nic",
         [](FakeHost& h) {
             for (FakeRoute& r : h.route_table) {
                 if (r.destination == "0.0.0.0" && r.luid == FakeHost::kEthernetLuid) {
                     r.metric = 80;
                     r.next_hop = "192.168.1.254";
                 }
             }
         },
         false, ""},
        {"every_hardware_default_route_lost", [](FakeHost& h) { DropRoute(h, "0.0.0.0", FakeHost::kEthernetLuid); },
         true, kNetworkChanged},
        {"physical_nic_down", [](FakeHost& h) { h.interface_by_alias("Ethernet")->up = false; }, true, kNetworkChanged},
        {"ipv6_capture_half_removed", [](FakeHost& h) { DropRoute(h, "8000::", FakeHost::kTunLuid); }, true, kLost},
        // DHCP option 121 and the like: a route that beats the capture halves on the physical link.
        {"more_specific_route_on_physical_nic",
         [](FakeHost& h) { h.add_route("203.0.113.0", 24, FakeHost::kEthernetLuid, "192.168.1.1", 5); }, true,
         kNetworkChanged},
        {"more_specific_ipv6_route_on_physical_nic",
         [](FakeHost& h) { h.add_route("2001:db8::", 32, FakeHost::kEthernetLuid, "fe80::1", 5); }, true,
         kNetworkChanged},
        {"host_route_inside_the_local_subnet",
         [](FakeHost& h) { h.add_route("192.168.1.77", 32, FakeHost::kEthernetLuid, "", 25); }, false, ""},
        {"multicast_route_on_physical_nic",
         [](FakeHost& h) { h.add_route("224.0.0.0", 4, FakeHost::kEthernetLuid, "", 25); }, false, ""},
        {"route_on_the_tun_itself", [](FakeHost& h) { h.add_route("10.9.0.0", 16, FakeHost::kTunLuid, "", 5); }, false,
         ""},
        {"ipv6_default_on_physical_nic_while_ipv6_is_captured",
         [](FakeHost& h) { h.add_route("::", 0, FakeHost::kEthernetLuid, "fe80::1", 0); }, false, ""},
        {"ipv6_default_appears_after_ipv6_was_skipped",
         [](FakeHost& h) { h.add_route("::", 0, FakeHost::kEthernetLuid, "fe80::1", 0); }, true, kNetworkChanged,
         SkipIpv6Capture},
        {"route_table_unreadable_for_one_tick", [](FakeHost& h) { h.fail("list_routes", 13, 1); }, false, ""},
    };
}

class ConnectedTick : public CoreScenario, public ::testing::WithParamInterface<ConnectedTickRow> {};

TEST_P(ConnectedTick, ChecksEngineCaptureAndPhysicalPath) {
    const ConnectedTickRow& row = GetParam();
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    if (row.before_connect) row.before_connect(host);
    connect_ok();
    row.change(host);
    const TunnelSnapshot after = controller->watch_network(cancel);
    if (!row.ends) {
        EXPECT_EQ(after.state, SessionState::connected);
        EXPECT_EQ(host.flow_polls, 1u);
        EXPECT_TRUE(host.process.alive);
        return;
    }
    EXPECT_EQ(after.state, SessionState::idle);
    EXPECT_EQ(after.code, ErrorCode::none);
    EXPECT_EQ(after.message, row.message);
    EXPECT_TRUE(after.cleanup_verified);
    EXPECT_EQ(published.back().message, row.message);
    // An engine that ended says why in the log.
    const auto exits = host.log.with_event("core_exited");
    if (!host.engine_script.output.empty()) {
        ASSERT_EQ(exits.size(), 1u);
        EXPECT_EQ(exits[0].code, "FATAL[0042] inbound/tun[tun-in]: read failed: The device is not ready.");
        EXPECT_EQ(exits[0].win32, 1u);
    }
    // The final reading of the flow monitor is taken, the periodic one is not.
    EXPECT_EQ(host.flow_polls, 1u);
    expect_clean();
}

INSTANTIATE_TEST_SUITE_P(Rows, ConnectedTick, ::testing::ValuesIn(ConnectedRows()),
                         [](const ::testing::TestParamInfo<ConnectedTickRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(RouteAddressText, ParsesBothFamiliesAndRefusesTheRest) {
    struct Row {
        const char* text;
        bool ok;
        bool v6;
        unsigned char first;  // bytes[0] for IPv6, the first octet for IPv4
        unsigned char last;
    };
    const Row rows[] = {
        {"::", true, true, 0, 0},
        {"8000::", true, true, 0x80, 0},
        {"fe80::1", true, true, 0xfe, 1},
        {"1:2:3:4:5:6:7:8", true, true, 0, 8},
        {"2001:db8::1:ff", true, true, 0x20, 0xff},
        {"1::2::3", false, true, 0, 0},
        {"12345::", false, true, 0, 0},
        {"1:2:3:4:5:6:7:8:9", false, true, 0, 0},
        {"::g", false, true, 0, 0},
        {"192.168.1.10", true, false, 192, 10},
        {"0.0.0.0", true, false, 0, 0},
        {"256.1.1.1", false, false, 0, 0},
        {"1.2.3", false, false, 0, 0},
        {"1..2.3", false, false, 0, 0},
        {"", false, false, 0, 0},
    };
    for (const Row& row : rows) {
        unsigned char bytes[16] = {};
        bool v6 = false;
        EXPECT_EQ(ParseAddress(row.text, bytes, v6), row.ok) << row.text;
        EXPECT_EQ(v6, row.v6) << row.text;
        if (!row.ok) continue;
        EXPECT_EQ(bytes[row.v6 ? 0 : 12], row.first) << row.text;
        EXPECT_EQ(bytes[15], row.last) << row.text;
    }
}

class Watch : public CoreScenario {};

TEST_F(Watch, IdleVerifiedDoesNothingWhateverTheCancelFlag) {
    for (bool flag : {false, true}) {
        cancel.store(flag);
        const TunnelSnapshot tick = controller->watch_network(cancel);
        EXPECT_EQ(tick.state, SessionState::idle);
        EXPECT_TRUE(host.log.lines.empty());
        EXPECT_EQ(host.files.saves, 0);
        EXPECT_EQ(host.engine.stray_sweeps, 0);
    }
}

TEST_F(Watch, ConnectingWithoutCancelDoesNothing) {
    ASSERT_TRUE(controller->begin_connect().accepted);
    const std::size_t lines = host.log.lines.size();
    const TunnelSnapshot tick = controller->watch_network(cancel);
    EXPECT_EQ(tick.state, SessionState::connecting);
    EXPECT_EQ(host.log.lines.size(), lines);
    EXPECT_EQ(host.engine.stray_sweeps, 0);
}

TEST_F(Watch, ConnectingWithCancelTearsDown) {
    ASSERT_TRUE(controller->begin_connect().accepted);
    cancel.store(true);
    const TunnelSnapshot tick = controller->watch_network(cancel);
    EXPECT_EQ(tick.state, SessionState::idle);
    EXPECT_EQ(tick.code, ErrorCode::none);
    EXPECT_TRUE(tick.cleanup_verified);
    EXPECT_EQ(tick.generation, 1);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    // The queued job then finds the session over.
    EXPECT_EQ(controller->run_connect(job, cancel).state, SessionState::idle);
    EXPECT_EQ(host.process.pid, 0u);
}

TEST_F(Watch, ConnectedWithCancelTearsDownWithAnEmptyMessage) {
    connect_ok();
    cancel.store(true);
    const TunnelSnapshot tick = controller->watch_network(cancel);
    EXPECT_EQ(tick.state, SessionState::idle);
    EXPECT_EQ(tick.code, ErrorCode::none);
    EXPECT_TRUE(tick.message.empty());
    expect_clean();
}

TEST_F(Watch, DisconnectingIsRetriedEveryTickUntilVerified) {
    connect_ok();
    host.fail("remove_adapter", 5, 2);  // the stop and the first tick fail
    EXPECT_EQ(controller->stop().state, SessionState::disconnecting);
    EXPECT_EQ(controller->watch_network(cancel).state, SessionState::disconnecting);
    const TunnelSnapshot tick = controller->watch_network(cancel);
    EXPECT_EQ(tick.state, SessionState::idle);
    EXPECT_EQ(tick.code, ErrorCode::none);
    EXPECT_TRUE(tick.message.empty());
    EXPECT_TRUE(tick.cleanup_verified);
    // And then the tick goes quiet again.
    const std::size_t lines = host.log.lines.size();
    controller->watch_network(cancel);
    EXPECT_EQ(host.log.lines.size(), lines);
}

TEST_F(Watch, FailedTeardownAfterEngineLossReportsCleanupFailed) {
    connect_ok();
    host.process.alive = false;
    host.fail("delete_interface_routes", 5, 1);
    const TunnelSnapshot tick = controller->watch_network(cancel);
    EXPECT_EQ(tick.state, SessionState::disconnecting);
    EXPECT_EQ(tick.code, ErrorCode::cleanup_failed);
    EXPECT_FALSE(tick.cleanup_verified);
    EXPECT_EQ(controller->watch_network(cancel).state, SessionState::idle);
}

}  // namespace
}  // namespace vantorel
