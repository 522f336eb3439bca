// A broker that dies at any ledger save of a connect must leave a host that the next start
// returns to clean. The ledger travels between the two controllers only as its file text.

#include "broker/portable/ledger_text.h"
#include "broker/contracts/own_adapter.h"
#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

// Saves made by one successful connect: admission, first publish, config_written, pid, adapter,
// pin, routes=[canary], routes=[], tunnel DNS, firewall, routes=installed, phase connected,
// connected publish.
constexpr int kConnectSaves = 13;

struct CrashPoint {
    int save = 0;
    bool after = false;  // crash right after the file was written, else right before
};

void PrintTo(const CrashPoint& point, std::ostream* out) {
    *out << (point.after ? "after save " : "before save ") << point.save;
}

std::string CrashName(const ::testing::TestParamInfo<CrashPoint>& info) {
    return std::string(info.param.after ? "after_save_" : "before_save_") + std::to_string(info.param.save);
}

std::vector<CrashPoint> EveryCrashPoint() {
    std::vector<CrashPoint> points;
    for (int save = 1; save <= kConnectSaves; ++save) {
        points.push_back({save, false});
        points.push_back({save, true});
    }
    return points;
}

class CrashRecovery : public CoreScenario {
protected:
    void arm(const CrashPoint& point) {
        auto crash_at = [target = point.save](int number) {
            if (number == target) throw SimulatedCrash{number};
        };
        if (point.after) {
            host.files.after_save = crash_at;
        } else {
            host.files.before_save = crash_at;
        }
    }

    void disarm() {
        host.files.before_save = nullptr;
        host.files.after_save = nullptr;
    }

    // Runs a connect until the crash fires; true when it did.
    bool connect_until_crash() {
        try {
            if (controller->begin_connect().accepted) controller->run_connect(job, cancel);
        } catch (const SimulatedCrash&) {
            return true;
        }
        return false;
    }

    long long generation_on_disk() const {
        SessionLedger on_disk;
        if (!host.files.ledger_text || !ParseLedgerText(*host.files.ledger_text, on_disk)) return 0;
        return on_disk.generation;
    }

    void restart_and_recover(long long expected_generation) {
        controller.reset();
        host.crash_broker();
        disarm();
        rebuild_controller();
        const TunnelSnapshot recovered = controller->recover_at_startup(cancel);
        EXPECT_EQ(recovered.state, SessionState::idle);
        EXPECT_EQ(recovered.code, ErrorCode::none);
        EXPECT_TRUE(recovered.cleanup_verified);
        EXPECT_EQ(recovered.generation, expected_generation);
        EXPECT_EQ(controller->snapshot().generation, expected_generation);
        expect_clean();
    }
};

class CrashAtEverySave : public CrashRecovery, public ::testing::WithParamInterface<CrashPoint> {};

TEST_P(CrashAtEverySave, NextStartLeavesTheHostClean) {
    const CrashPoint point = GetParam();
    arm(point);
    ASSERT_TRUE(connect_until_crash()) << "the connect made fewer saves than expected";
    if (point.save >= 3) {
        std::string why;
        EXPECT_FALSE(host.clean(why)) << "the crash left nothing to recover";
    }
    const long long kept = generation_on_disk();
    EXPECT_EQ(kept, point.save == 1 && !point.after ? 0 : 1);

    restart_and_recover(kept);
    // The next session continues the numbering.
    EXPECT_EQ(connect().generation, kept + 1);
}

INSTANTIATE_TEST_SUITE_P(BeforeAndAfter, CrashAtEverySave, ::testing::ValuesIn(EveryCrashPoint()), CrashName);

TEST_F(CrashRecovery, ASuccessfulConnectMakesExactlyTheCountedSaves) {
    connect_ok();
    EXPECT_EQ(host.files.saves, kConnectSaves);
}

TEST_F(CrashRecovery, CrashDuringTheStopOfAConnectedSession) {
    connect_ok();
    arm({kConnectSaves + 1, true});  // the teardown's first save
    bool crashed = false;
    try {
        controller->stop();
    } catch (const SimulatedCrash&) {
        crashed = true;
    }
    ASSERT_TRUE(crashed);
    restart_and_recover(1);
}

TEST_F(CrashRecovery, CrashWithFlowMonitoringAndProofWaitOn) {
    controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
    controller->set_tun_ready_listener([](long long) {});
    arm({11, true});  // capture routes recorded, proof wait not yet over
    ASSERT_TRUE(connect_until_crash());
    restart_and_recover(1);
}

TEST_F(CrashRecovery, UnreadableLedgerIsSalvagedAndThePinRouteRemoved) {
    arm({7, true});  // pin route and canary exist
    ASSERT_TRUE(connect_until_crash());
    ASSERT_TRUE(host.has_host_route(kServerIp));
    const std::string good = *host.files.ledger_text;
    // Damage the generation: the text no longer parses, only its pin destination survives.
    std::string damaged = good;
    damaged.replace(damaged.find("generation=1"), 12, "generation=x");
    host.files.ledger_text = damaged;

    restart_and_recover(0);
    ASSERT_TRUE(host.files.ledger_bad.has_value());
    EXPECT_EQ(*host.files.ledger_bad, damaged);
    EXPECT_FALSE(host.has_host_route(kServerIp));
}

TEST_F(CrashRecovery, LedgerWithNothingToSalvageStillEndsClean) {
    arm({8, true});
    ASSERT_TRUE(connect_until_crash());
    host.files.ledger_text = "v9\nwhatever\n";
    // The pin route was recorded only in the lost ledger; a pin file still names it.
    host.files.pin_text = std::string(kServerIp) + "\n";
    restart_and_recover(0);
    EXPECT_TRUE(host.files.ledger_bad.has_value());
}

TEST_F(CrashRecovery, MissingLedgerStillRemovesOwnAdaptersConfigAndPinFile) {
    host.add_interface("VantorelTun", FakeHost::kTunLuid, FakeHost::kTunIndex, false);
    host.add_route("0.0.0.0", 1, FakeHost::kTunLuid, "", 0);
    host.add_route("8000::", 1, FakeHost::kTunLuid, "", 0);
    host.files.engine_config = "{}";
    host.files.pin_text = "203.0.113.9\n";
    host.add_route("203.0.113.9", 32, FakeHost::kEthernetLuid, "192.168.1.1", 25);
    restart_and_recover(0);
}

TEST_F(CrashRecovery, FailedRecoveryKeepsTheLedgerForTheNextStart) {
    arm({9, true});
    ASSERT_TRUE(connect_until_crash());
    controller.reset();
    host.crash_broker();
    disarm();
    host.fail("remove_adapter", 5, 1);
    rebuild_controller();
    const TunnelSnapshot first = controller->recover_at_startup(cancel);
    EXPECT_EQ(first.state, SessionState::disconnecting);
    EXPECT_EQ(first.code, ErrorCode::cleanup_failed);
    EXPECT_EQ(first.generation, 1);
    ASSERT_TRUE(host.files.ledger_text.has_value());
    restart_and_recover(1);
}

}  // namespace
}  // namespace vantorel

namespace vantorel {
namespace {

// After a crash the TUN adapter is gone and its LUID may have been handed to another adapter.
class ReusedLuid : public CoreScenario {
protected:
    void crash_connected_and_lose_the_tun() {
        connect_ok();
        controller.reset();
        host.crash_broker();
        host.routes.remove_adapter(AdapterInfo{kTunAdapterName, host.interface_by_alias(kTunAdapterName)->guid,
                                               FakeHost::kTunLuid, FakeHost::kTunIndex, true});
        ASSERT_EQ(host.interface_by_luid(FakeHost::kTunLuid), nullptr);
        // The pin route through Ethernet survives the crash; the capture routes went with the TUN.
        rebuild_controller();
    }
};

TEST_F(ReusedLuid, OnlyAnInterfaceThatIsGoneOrOursIsFlushed) {
    struct Row {
        const char* name;
        const char* holder;  // alias now holding the TUN's old LUID, "" for nobody
        bool flushed;
        bool logged;
        bool impostor = false;  // renamed, so it keeps a GUID of its own
    };
    const Row rows[] = {
        {"another tunnel's adapter", "wg0", false, true},
        {"an adapter named like ours", "quorvandel", true, false},
        {"an adapter renamed like ours", "VantorelTun", false, true, true},
        {"nobody, stale rows left", "", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeHost fresh;
        host.interfaces = fresh.interfaces;
        host.route_table = fresh.route_table;
        host.files.ledger_text.reset();
        host.log.lines.clear();
        rebuild_controller();
        crash_connected_and_lose_the_tun();
        if (std::string(row.holder).empty()) {
            host.add_route("10.99.0.0", 16, FakeHost::kTunLuid, "", 5);  // a row the system did not drop
        } else {
            FakeInterface& holder = host.add_interface(row.holder, FakeHost::kTunLuid, 43, false);
            if (row.impostor) holder.guid = "{00000028-0000-0000-0000-4E6574446576}";
            host.add_route("0.0.0.0", 1, FakeHost::kTunLuid, "", 5);
            host.add_route("10.99.0.0", 16, FakeHost::kTunLuid, "", 5);
        }

        const TunnelSnapshot recovered = controller->recover_at_startup(cancel);
        EXPECT_EQ(recovered.state, SessionState::idle);
        EXPECT_TRUE(recovered.cleanup_verified);
        EXPECT_EQ(host.routes_on(FakeHost::kTunLuid).empty(), row.flushed);
        EXPECT_EQ(host.log.has("cleanup", "luid_reused"), row.logged);
        EXPECT_FALSE(host.has_host_route(kServerIp));  // the pin route is removed either way
    }
}

TEST_F(ReusedLuid, AnUnknownHolderLeavesTheCleanupUnverifiedUntilItCanBeTold) {
    crash_connected_and_lose_the_tun();
    host.add_interface("wg0", FakeHost::kTunLuid, 43, false);
    host.add_route("10.99.0.0", 16, FakeHost::kTunLuid, "", 5);
    host.fail("interface_holder", 1168, 1);

    const TunnelSnapshot first = controller->recover_at_startup(cancel);
    EXPECT_FALSE(first.cleanup_verified);
    EXPECT_EQ(first.code, ErrorCode::cleanup_failed);
    EXPECT_FALSE(host.routes_on(FakeHost::kTunLuid).empty());

    const TunnelSnapshot retried = controller->watch_network(cancel);
    EXPECT_TRUE(retried.cleanup_verified);
    EXPECT_FALSE(host.routes_on(FakeHost::kTunLuid).empty());
    EXPECT_TRUE(host.log.has("cleanup", "luid_reused"));
}

}  // namespace
}  // namespace vantorel
