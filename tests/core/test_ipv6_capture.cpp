// A TUN that takes no IPv6 routes: the connect goes on with IPv4 capture only when IPv6 has no
// way out anyway, and fails with its own reason when it does.

#include "broker/core/ipv6_capture_rule.h"
#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

std::vector<CaptureRoute> Halves(std::initializer_list<const char*> destinations) {
    std::vector<CaptureRoute> routes;
    for (const char* d : destinations) routes.push_back(CaptureRoute{d, 1, FakeHost::kTunLuid, FakeHost::kTunIndex});
    return routes;
}

TEST(Ipv6CaptureRule, OnlyAFailureAtTheFirstIpv6RouteWithNoIpv6ErrorsQualifies) {
    struct Row {
        const char* name;
        std::vector<CaptureRoute> installed;
        std::uint32_t error;
        bool qualifies;
    };
    const Row rows[] = {
        {"not found at ::/1", Halves({"0.0.0.0", "128.0.0.0"}), 1168, true},
        {"not supported at ::/1", Halves({"0.0.0.0", "128.0.0.0"}), 50, true},
        {"access denied at ::/1", Halves({"0.0.0.0", "128.0.0.0"}), 5, false},
        {"not found at 8000::/1", Halves({"0.0.0.0", "128.0.0.0", "::"}), 1168, false},
        {"not found at 128.0.0.0/1", Halves({"0.0.0.0"}), 1168, false},
        {"nothing installed", {}, 1168, false},
        {"IPv4 halves in another order", Halves({"128.0.0.0", "0.0.0.0"}), 1168, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(FailedOnlyForIpv6(row.installed, row.error), row.qualifies) << row.name;
    }
}

TEST(Ipv6CaptureRule, SkipsOnlyWhenIpv6IsKnownToHaveNoWayOut) {
    struct Row {
        bool known, present;
        Ipv6CaptureOutcome outcome;
        const char* code;
    };
    const Row rows[] = {
        {true, false, Ipv6CaptureOutcome::ipv4_only, "ipv6_skipped"},
        {true, true, Ipv6CaptureOutcome::would_leak, "ipv6_would_leak"},
        {false, false, Ipv6CaptureOutcome::unknown, "ipv6_unknown"},
        {false, true, Ipv6CaptureOutcome::unknown, "ipv6_unknown"},
    };
    for (const Row& row : rows) {
        const Ipv6CaptureOutcome outcome = DecideIpv6Capture(row.known, row.present);
        EXPECT_EQ(outcome, row.outcome) << row.known << row.present;
        EXPECT_STREQ(Ipv6CaptureLogCode(outcome), row.code);
    }
}

struct HostRow {
    const char* name;
    std::uint32_t tun_error;                 // what the TUN answers to ::/1
    std::function<void(FakeHost&)> arrange;  // IPv6 elsewhere on the host
    SessionState state;
    ErrorCode code;
    const char* log_code;
    std::uint32_t log_win32;
};

void PrintTo(const HostRow& row, std::ostream* out) { *out << row.name; }

std::vector<HostRow> HostRows() {
    auto nothing = [](FakeHost&) {};
    return {
        {"ipv6 disabled everywhere", 1168, nothing, SessionState::connected, ErrorCode::none, "ipv6_skipped", 1168},
        {"no ipv6 stack", 50, nothing, SessionState::connected, ErrorCode::none, "ipv6_skipped", 50},
        {"ipv6 default only on an own adapter", 1168,
         [](FakeHost& h) {
             h.add_interface("quorvandel", 7000, 55, false);
             h.add_route("::", 0, 7000, "", 5);
         },
         SessionState::connected, ErrorCode::none, "ipv6_skipped", 1168},
        {"ipv6 default on ethernet", 1168,
         [](FakeHost& h) { h.add_route("::", 0, FakeHost::kEthernetLuid, "fe80::1", 0); }, SessionState::idle,
         ErrorCode::route_failed, "ipv6_would_leak", 1168},
        {"ipv6 table unreadable", 1168, [](FakeHost& h) { h.fail("ipv6_default_route_present", 13); },
         SessionState::idle, ErrorCode::route_failed, "ipv6_unknown", 13},
    };
}

class Ipv6LessTun : public CoreScenario, public ::testing::WithParamInterface<HostRow> {};

TEST_P(Ipv6LessTun, GoesOnWithoutIpv6OnlyWhenNothingCanLeak) {
    const HostRow& row = GetParam();
    row.arrange(host);
    host.fail("add_capture_routes", row.tun_error, -1, 2);  // ::/1 and after

    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.state, row.state);
    EXPECT_EQ(result.code, row.code);
    const auto lines = host.log.with_event("routes");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().code, row.log_code);
    EXPECT_EQ(lines.front().win32, row.log_win32);
    EXPECT_FALSE(host.log.has("routes", "capture_failed"));

    if (row.state == SessionState::connected) {
        const SessionLedger ledger = controller->ledger_copy();
        ASSERT_EQ(ledger.routes.size(), 2u);
        EXPECT_EQ(ledger.routes[0].destination, "0.0.0.0");
        EXPECT_EQ(ledger.routes[1].destination, "128.0.0.0");
        EXPECT_TRUE(host.log.has("routes", "capture_installed"));
        EXPECT_EQ(host.log.with_event("routes").back().win32, 2u);
        EXPECT_TRUE(controller->stop().cleanup_verified);
    } else {
        EXPECT_EQ(result.message, "Сбой применения маршрутов");
        EXPECT_TRUE(result.cleanup_verified);
        // The final state line names the TUN's refusal, not the later table read.
        EXPECT_TRUE(host.log.has("idle", "route_failed"));
        EXPECT_EQ(host.log.with_event("idle").back().win32, row.tun_error);
    }
    expect_clean();
}

INSTANTIATE_TEST_SUITE_P(EveryHost, Ipv6LessTun, ::testing::ValuesIn(HostRows()),
                         [](const ::testing::TestParamInfo<HostRow>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (c == ' ') c = '_';
                             }
                             return name;
                         });

TEST_F(CoreScenario, ARefusedSecondIpv6HalfIsAPlainCaptureFailure) {
    host.fail("add_capture_routes", 1168, -1, 3);  // ::/1 went in, 8000::/1 did not
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.code, ErrorCode::route_failed);
    EXPECT_TRUE(host.log.has("routes", "capture_failed"));
    EXPECT_FALSE(host.log.has("routes", "ipv6_skipped"));
    expect_clean();
}

}  // namespace
}  // namespace vantorel
