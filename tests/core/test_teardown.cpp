// Teardown: what it removes, what it checks, and how an unverified one is retried.

#include <algorithm>
#include <functional>

#include "broker/contracts/own_adapter.h"
#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

constexpr char kCleanupFailedText[] = "Ошибка восстановления сети. Перезапустите службу";

struct VerificationRow {
    const char* name;
    std::function<void(FakeHost&)> break_host;
    std::function<void(FakeHost&)> mend_host;
    // Once released, a surviving engine is a stray that only kill_strays can reach; is_running()
    // no longer sees it, so a retry cannot tell that it still runs.
    bool retry_sees_it = true;
};

void ClearScript(FakeHost& host) { host.clear_failures(); }

void PrintTo(const VerificationRow& row, std::ostream* out) { *out << row.name; }

std::vector<VerificationRow> VerificationRows() {
    return {
        {"engine_cannot_be_stopped",
         [](FakeHost& h) {
             h.engine_script.ignores_stop = true;
             h.engine_script.survives_terminate = true;
         },
         [](FakeHost& h) { h.engine_script.survives_terminate = false; }, false},
        {"pin_route_not_deleted", [](FakeHost& h) { h.fail("delete_pin_route", 5); }, ClearScript},
        {"pin_route_still_present", [](FakeHost& h) { h.still_present("pin_route_absent"); }, ClearScript},
        {"pin_route_check_fails", [](FakeHost& h) { h.check_failed("pin_route_absent", 1460); }, ClearScript},
        {"pin_file_not_deleted",
         [](FakeHost& h) {
             h.files.pin_text = "203.0.113.7\r\n";
             h.fail("delete_pin", 5);
         },
         ClearScript},
        {"interface_routes_not_deleted", [](FakeHost& h) { h.fail("delete_interface_routes", 5); }, ClearScript},
        {"interface_routes_still_present", [](FakeHost& h) { h.still_present("interface_routes_absent"); },
         ClearScript},
        {"adapters_not_listed", [](FakeHost& h) { h.fail("list_own_adapters", 1168); }, ClearScript},
        {"third_listing_fails", [](FakeHost& h) { h.fail("list_own_adapters", 1168, -1, 2); }, ClearScript},
        {"adapter_not_removed", [](FakeHost& h) { h.fail("remove_adapter", 5); }, ClearScript},
        {"config_not_shredded", [](FakeHost& h) { h.fail("shred_engine_config", 32); }, ClearScript},
        {"filters_not_closed", [](FakeHost& h) { h.fail("firewall_close", 5); }, ClearScript},
        {"filters_still_present", [](FakeHost& h) { h.still_present("filters_absent"); }, ClearScript},
        {"tunnel_dns_not_cleared", [](FakeHost& h) { h.fail("set_tunnel_dns", 5); }, ClearScript},
    };
}

class TeardownVerification : public CoreScenario, public ::testing::WithParamInterface<VerificationRow> {};

TEST_P(TeardownVerification, StaysDisconnectingUntilALaterTickVerifies) {
    const VerificationRow& row = GetParam();
    connect_ok();
    row.break_host(host);

    const TunnelSnapshot failed = controller->stop();
    EXPECT_EQ(failed.state, SessionState::disconnecting);
    EXPECT_EQ(failed.code, ErrorCode::cleanup_failed);
    EXPECT_EQ(failed.message, kCleanupFailedText);
    EXPECT_FALSE(failed.cleanup_verified);
    ASSERT_TRUE(host.files.ledger_text.has_value());
    const SessionLedger kept = host.files.saved.back();
    EXPECT_EQ(kept.phase, SessionState::disconnecting);
    EXPECT_FALSE(kept.cleanup_verified);
    EXPECT_TRUE(kept.pin_intended);
    EXPECT_TRUE(kept.adapter_known);
    EXPECT_EQ(kept.pid != 0, host.process.alive);

    // A tick while still broken repeats the failure; once mended, the next tick verifies.
    if (row.retry_sees_it) {
        EXPECT_EQ(controller->watch_network(cancel).code, ErrorCode::cleanup_failed);
    }
    row.mend_host(host);
    const TunnelSnapshot retried = controller->watch_network(cancel);
    EXPECT_EQ(retried.state, SessionState::idle);
    EXPECT_EQ(retried.code, ErrorCode::none);
    EXPECT_TRUE(retried.message.empty());
    EXPECT_TRUE(retried.cleanup_verified);
    EXPECT_EQ(retried.generation, 1);
    expect_clean();
}

INSTANTIATE_TEST_SUITE_P(EveryCheck, TeardownVerification, ::testing::ValuesIn(VerificationRows()),
                         [](const ::testing::TestParamInfo<VerificationRow>& info) {
                             return std::string(info.param.name);
                         });

class Teardown : public CoreScenario {};

TEST_F(Teardown, NothingToUndoVerifiesAndDeletesTheLedger) {
    host.files.ledger_text = "v1\n";
    const TunnelSnapshot stopped = controller->stop();
    EXPECT_EQ(stopped.state, SessionState::idle);
    EXPECT_EQ(stopped.code, ErrorCode::none);
    EXPECT_TRUE(stopped.message.empty());
    EXPECT_TRUE(stopped.cleanup_verified);
    EXPECT_FALSE(host.files.ledger_text.has_value());
    EXPECT_EQ(host.engine.stop_requests, 0);
    EXPECT_EQ(host.sleeper.sleeps, 0);
}

// A host whose filtering engine is stopped or absent (1753: no endpoint) still verifies clean when
// no session of ours ever made filters; only a ledger that names them needs the engine.
TEST_F(Teardown, FiltersAreAskedForOnlyWhenTheLedgerNamesThem) {
    host.files.ledger_text = "v1\n";
    host.fail("firewall_close", 1753);
    host.check_failed("filters_absent", 1753);
    EXPECT_TRUE(controller->stop().cleanup_verified);

    connect_ok();
    host.fail("firewall_close", 1753);
    const TunnelSnapshot stopped = controller->stop();
    EXPECT_EQ(stopped.code, ErrorCode::cleanup_failed);
    EXPECT_FALSE(stopped.cleanup_verified);
}

TEST_F(Teardown, EngineIgnoringStopIsTerminatedAfterTwentyChecks) {
    connect_ok();
    host.engine_script.ignores_stop = true;
    controller->stop();
    EXPECT_EQ(host.engine.stop_requests, 1);
    EXPECT_EQ(host.engine.terminations, 1);
    EXPECT_EQ(host.sleeper.sleeps, 20);
    EXPECT_FALSE(host.process.alive);
    expect_clean();
}

TEST_F(Teardown, PoliteStopNeedsNoTerminate) {
    connect_ok();
    host.engine_script.stop_takes_checks = 3;
    controller->stop();
    EXPECT_EQ(host.engine.terminations, 0);
    EXPECT_EQ(host.process.exit_status, 0u);
    EXPECT_EQ(host.sleeper.sleeps, 3);
}

TEST_F(Teardown, EngineAlreadyGoneSkipsEveryWait) {
    connect_ok();
    host.process.alive = false;
    controller->stop();
    EXPECT_EQ(host.engine.stop_requests, 0);
    EXPECT_EQ(host.engine.terminations, 0);
    EXPECT_EQ(host.sleeper.sleeps, 0);
    EXPECT_GE(host.engine.stray_sweeps, 1);
}

TEST_F(Teardown, UnstoppableEngineKeepsThePidInTheLedger) {
    connect_ok();
    const std::uint32_t pid = host.process.pid;
    host.engine_script.ignores_stop = true;
    host.engine_script.survives_terminate = true;
    controller->stop();
    EXPECT_EQ(host.sleeper.sleeps, 20 + 50);
    EXPECT_EQ(controller->ledger_copy().pid, pid);
    EXPECT_EQ(host.files.saved.back().pid, pid);
}

TEST_F(Teardown, LeftoverOwnAdapterIsRemovedWithItsRoutes) {
    host.add_interface("quorvandel", 7000, 55, false);
    host.add_route("10.66.0.0", 16, 7000, "", 5);
    host.add_route("::", 1, 7000, "", 5);
    const TunnelSnapshot stopped = controller->stop();
    EXPECT_TRUE(stopped.cleanup_verified);
    EXPECT_EQ(host.interface_by_alias("quorvandel"), nullptr);
    expect_clean();
}

TEST_F(Teardown, AdapterRenamedLikeOursIsLeftAlone) {
    FakeInterface& impostor = host.add_interface("VantorelTun", 7000, 55, false);
    impostor.guid = "{00000037-0000-0000-0000-4E6574446576}";
    host.add_route("10.66.0.0", 16, 7000, "", 5);
    EXPECT_TRUE(controller->stop().cleanup_verified);
    ASSERT_NE(host.interface_by_luid(7000), nullptr);
    EXPECT_EQ(host.routes_on(7000).size(), 1u);
}

TEST_F(Teardown, PinFileRouteIsDeletedOnEveryInterface) {
    host.add_interface("Wi-Fi", 2000, 9, true);
    host.add_route("203.0.113.7", 32, FakeHost::kEthernetLuid, "192.168.1.1", 25);
    host.add_route("203.0.113.7", 32, 2000, "10.0.0.1", 30);
    host.files.pin_text = "203.0.113.7\n";
    EXPECT_TRUE(controller->stop().cleanup_verified);
    EXPECT_FALSE(host.has_host_route("203.0.113.7"));
    EXPECT_FALSE(host.files.pin_text.has_value());
}

TEST_F(Teardown, MalformedPinFileIsLeftAlone) {
    host.files.pin_text = "203.0.113\n";
    EXPECT_TRUE(controller->stop().cleanup_verified);
    EXPECT_TRUE(host.files.pin_text.has_value());
}

TEST_F(Teardown, LeftoverConfigFileIsShreddedWithoutALedger) {
    host.files.engine_config = "{\"secret\":\"x\"}";
    EXPECT_TRUE(controller->stop().cleanup_verified);
    EXPECT_FALSE(host.files.engine_config.has_value());
}

TEST_F(Teardown, FailedConnectCodeGivesWayToCleanupFailed) {
    host.egress_works = false;
    host.fail("remove_adapter", 5);
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.code, ErrorCode::cleanup_failed);
    EXPECT_EQ(result.state, SessionState::disconnecting);
    EXPECT_TRUE(host.log.has("egress", "timeout"));
}

TEST_F(Teardown, StopWritesTheFlowTotalsBeforeTheEngineStops) {
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    FlowSample first;
    first.connections = {MakeFlow("a", "tcp", "proxy", 100, 1000)};
    FlowSample second;
    second.connections = {MakeFlow("a", "tcp", "proxy", 300, 5000)};
    host.flow_samples = {first, second};
    connect_ok();
    controller->watch_network(cancel);
    host.clock += 1000;  // well inside the 5 s poll interval: the final reading is forced anyway
    const std::size_t polls_before = host.flow_polls;
    controller->stop();
    EXPECT_EQ(host.flow_polls, polls_before + 1);
    const auto totals = host.log.with_event("flow_total");
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(totals[0].code, "tcp:proxy=dn:4000/up:200");
    // The totals come first; the teardown's lines and the final state follow.
    const auto& lines = host.log.lines;
    const auto total_at =
        std::find_if(lines.begin(), lines.end(), [](const FakeLogLine& l) { return l.event == "flow_total"; });
    const auto idle_at =
        std::find_if(lines.begin(), lines.end(), [](const FakeLogLine& l) { return l.event == "idle"; });
    EXPECT_LT(total_at - lines.begin(), idle_at - lines.begin());
    EXPECT_FALSE(host.process.alive);
}

}  // namespace
}  // namespace vantorel

namespace vantorel {
namespace {

class AdapterRemoval : public CoreScenario {
protected:
    FakeInterface& tun() { return *host.interface_by_alias(kTunAdapterName); }
};

TEST_F(AdapterRemoval, AnAdapterWhoseDeviceIsGoneCountsAsRemovedOnceItIsNoLongerListed) {
    // Listings in one teardown: the route cleanup's, the removal's, then the check and its 20
    // retries, 23 in all; an adapter listed through all of them fails this attempt.
    struct Row {
        int lingering;
        bool verified_at_once;
    };
    const Row rows[] = {{0, true}, {1, true}, {5, true}, {22, true}, {23, false}, {40, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lingering);
        FakeHost fresh;
        host.interfaces = fresh.interfaces;
        host.route_table = fresh.route_table;
        host.clear_failures();
        host.log.lines.clear();
        rebuild_controller();
        connect_ok();
        // The engine ended and Wintun took its adapter away; the system still lists it a while.
        host.process.alive = false;
        tun().device_present = false;
        tun().lingering_listings = row.lingering;

        const TunnelSnapshot stopped = controller->stop();
        EXPECT_EQ(stopped.cleanup_verified, row.verified_at_once);
        if (!row.verified_at_once) {
            EXPECT_EQ(stopped.code, ErrorCode::cleanup_failed);
            // Still the adapter's own delay, not a failed removal: the next tick verifies.
            tun().lingering_listings = 0;
            EXPECT_TRUE(controller->watch_network(cancel).cleanup_verified);
        }
        expect_clean();
    }
}

TEST_F(AdapterRemoval, RoutesTheSystemKeepsOnAnAdapterAreCheckedAfterItsRemoval) {
    connect_ok();
    host.route_table.push_back(FakeRoute{"224.0.0.0", 4, FakeHost::kTunLuid, "", 256, true});
    host.route_table.push_back(FakeRoute{"ff00::", 8, FakeHost::kTunLuid, "", 256, true});
    const TunnelSnapshot stopped = controller->stop();
    EXPECT_TRUE(stopped.cleanup_verified);
    EXPECT_EQ(stopped.code, ErrorCode::none);
    expect_clean();
}

TEST_F(AdapterRemoval, SystemRoutesOnAnAdapterThatStaysFailTheCheck) {
    connect_ok();
    host.route_table.push_back(FakeRoute{"224.0.0.0", 4, FakeHost::kTunLuid, "", 256, true});
    host.fail("remove_adapter", 5, 1);
    const TunnelSnapshot stopped = controller->stop();
    EXPECT_FALSE(stopped.cleanup_verified);
    EXPECT_EQ(stopped.code, ErrorCode::cleanup_failed);
    EXPECT_TRUE(controller->watch_network(cancel).cleanup_verified);
    expect_clean();
}

}  // namespace
}  // namespace vantorel
