// Win32RouteTable's reading operations against the routing and link tables of the network
// namespace run_netns_tests.sh builds (Wine's IP Helper reports its wineserver's namespace).
// Route writes and adapter removal are not run here: Wine aborts on the route write calls
// and SetupAPI lists no network devices.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "broker/win32/win32_route_table.h"
#include "tests/wine/netns_environment.h"

namespace vantorel {
namespace {

using testing::LuidOfIndex;
using testing::NetnsNumber;

const char kPinDestination[] = "203.0.113.9";  // the script's host route via the fast link

struct Links {
    std::uint32_t fast = NetnsNumber("VANTOREL_NET_FAST_INDEX");
    std::uint32_t slow = NetnsNumber("VANTOREL_NET_SLOW_INDEX");
    std::uint32_t tun = NetnsNumber("VANTOREL_NET_TUN_INDEX");
    std::uint32_t lower_tun = NetnsNumber("VANTOREL_NET_LOWER_TUN_INDEX");
    std::uint32_t quorvandel = NetnsNumber("VANTOREL_NET_QUORVANDEL_INDEX");
    std::uint32_t loopback = NetnsNumber("VANTOREL_NET_LO_INDEX");
    std::uint32_t tie_first = NetnsNumber("VANTOREL_NET_TIE_FIRST_INDEX");
};

const DefaultRouteInfo* RouteOn(const std::vector<DefaultRouteInfo>& routes, const std::string& alias,
                                std::uint32_t destination, int prefix_length) {
    for (const auto& r : routes) {
        if (r.interface_alias == alias && r.destination == destination && r.prefix_length == prefix_length) return &r;
    }
    return nullptr;
}

// ---- loopback: fast (metric 10) and slow (metric 25) hardware defaults, a metric-0
// default on the loopback (not hardware), VantorelTun up with both IPv4 capture routes.
// (Wine's GetAdaptersAddresses fails with 13 while a default route uses the loopback, so
// the adapter cases run in "main", which is the same without that route.)

TEST(NetnsLoopback, DefaultRoutesDescribeTheirInterfaces) {
    REQUIRE_NETNS_PHASE("loopback");
    Win32RouteTable table;
    std::vector<DefaultRouteInfo> routes{DefaultRouteInfo{"stale", true, true, true, 0, 0, 0}};
    ASSERT_TRUE(table.list_default_routes(routes));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_EQ(routes.size(), 5u);

    const auto* fast = RouteOn(routes, "vnfast", 0, 0);
    const auto* slow = RouteOn(routes, "vnslow", 0, 0);
    const auto* loopback = RouteOn(routes, "lo", 0, 0);
    const auto* lower_half = RouteOn(routes, "VantorelTun", 0, 1);
    const auto* upper_half = RouteOn(routes, "VantorelTun", 0x80000000u, 1);
    ASSERT_NE(fast, nullptr);
    ASSERT_NE(slow, nullptr);
    ASSERT_NE(loopback, nullptr);
    ASSERT_NE(lower_half, nullptr);
    ASSERT_NE(upper_half, nullptr);

    EXPECT_TRUE(fast->physical && fast->up && !fast->own);
    EXPECT_LT(fast->metric, slow->metric);
    EXPECT_FALSE(loopback->physical);
    EXPECT_FALSE(loopback->own);
    EXPECT_EQ(loopback->metric, 0u);
    for (const auto* capture : {lower_half, upper_half}) {
        EXPECT_TRUE(capture->own);
        EXPECT_FALSE(capture->physical);  // a hardware interface, but our own
        EXPECT_TRUE(capture->up);
    }
    EXPECT_EQ(RouteOn(routes, "stale", 0, 0), nullptr);
}

// Expects the fast link's default route, whatever else is in the table.
void ExpectFastLinkChosen() {
    Links links;
    Win32RouteTable table;
    std::vector<DefaultRouteInfo> routes;
    ASSERT_TRUE(table.list_default_routes(routes));
    const auto* fast = RouteOn(routes, "vnfast", 0, 0);
    ASSERT_NE(fast, nullptr);

    PinRoute pin{"stale", 9, 9, 9, "stale", 9};
    ASSERT_TRUE(table.find_physical_route("198.51.100.7", pin));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_EQ(pin.destination, "198.51.100.7");
    EXPECT_EQ(pin.interface_index, links.fast);
    EXPECT_EQ(pin.physical_index, links.fast);
    EXPECT_EQ(pin.interface_luid, LuidOfIndex(links.fast));
    EXPECT_NE(pin.interface_luid, 0u);
    EXPECT_EQ(pin.next_hop, "10.81.0.1");
    EXPECT_EQ(pin.metric, fast->metric);  // not the loopback's 0, and never 0
}

TEST(NetnsLoopback, MetricZeroOnTheLoopbackIsNeverChosen) {
    REQUIRE_NETNS_PHASE("loopback");
    ExpectFastLinkChosen();
}

// ---- main: the loopback topology without the loopback default, plus a pin route via fast.

TEST(NetnsMain, PhysicalRouteIsTheLowestMetricHardwareDefault) {
    REQUIRE_NETNS_PHASE("main");
    ExpectFastLinkChosen();
}

struct BadServerText {
    const char* name;
    const char* text;
};

class NetnsMainBadServer : public ::testing::TestWithParam<BadServerText> {};

TEST_P(NetnsMainBadServer, IsAnInvalidParameterAndLeavesTheOutputAlone) {
    REQUIRE_NETNS_PHASE("main");
    Win32RouteTable table;
    PinRoute pin{"keep", 1, 2, 3, "keep", 4};
    EXPECT_FALSE(table.find_physical_route(GetParam().text, pin));
    EXPECT_EQ(table.last_error(), 87u);
    EXPECT_EQ(pin.destination, "keep");
    EXPECT_EQ(pin.next_hop, "keep");
}

INSTANTIATE_TEST_SUITE_P(Cases, NetnsMainBadServer,
                         ::testing::Values(BadServerText{"Empty", ""}, BadServerText{"Name", "example.org"},
                                           BadServerText{"OctetTooLarge", "256.1.1.1"},
                                           BadServerText{"ThreeParts", "10.0.0"}, BadServerText{"Ipv6", "2001:db8::1"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct PinQuery {
    const char* name;
    const char* destination;
    enum { fast_luid, slow_luid, any_luid } on;
    bool absent;
};

class NetnsMainPinAbsent : public ::testing::TestWithParam<PinQuery> {};

TEST_P(NetnsMainPinAbsent, MatchesDestinationAndInterface) {
    REQUIRE_NETNS_PHASE("main");
    Links links;
    const PinQuery& q = GetParam();
    PinRoute pin;
    pin.destination = q.destination;
    pin.interface_luid = q.on == PinQuery::any_luid    ? 0
                         : q.on == PinQuery::fast_luid ? LuidOfIndex(links.fast)
                                                       : LuidOfIndex(links.slow);
    Win32RouteTable table;
    EXPECT_EQ(table.pin_route_absent(pin), q.absent);
    EXPECT_EQ(table.last_error(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, NetnsMainPinAbsent,
                         ::testing::Values(PinQuery{"OnItsInterface", kPinDestination, PinQuery::fast_luid, false},
                                           PinQuery{"OnAnyInterface", kPinDestination, PinQuery::any_luid, false},
                                           PinQuery{"OnAnotherInterface", kPinDestination, PinQuery::slow_luid, true},
                                           PinQuery{"OtherDestination", "203.0.113.10", PinQuery::any_luid, true},
                                           // The fast link's subnet route is not a /32.
                                           PinQuery{"SubnetAddress", "10.81.0.0", PinQuery::any_luid, true},
                                           PinQuery{"UnparsableDestination", "not-an-address", PinQuery::any_luid,
                                                    true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NetnsMain, InterfaceRoutesAbsentOnlyWhereNoRouteUsesTheInterface) {
    REQUIRE_NETNS_PHASE("main");
    Links links;
    Win32RouteTable table;
    EXPECT_FALSE(table.interface_routes_absent(LuidOfIndex(links.fast)));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_FALSE(table.interface_routes_absent(LuidOfIndex(links.tun)));
    EXPECT_TRUE(table.interface_routes_absent(LuidOfIndex(links.quorvandel)));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_TRUE(table.interface_routes_absent(0x7fff000000000000ull));
}

TEST(NetnsMain, OwnAdaptersAreExactlyTheTwoOwnNames) {
    REQUIRE_NETNS_PHASE("main");
    Links links;
    Win32RouteTable table;
    std::vector<AdapterInfo> adapters{AdapterInfo{"stale", "", 1, 1, true}};
    ASSERT_TRUE(table.list_own_adapters(adapters));
    EXPECT_EQ(table.last_error(), 0u);
    ASSERT_EQ(adapters.size(), 2u);
    auto tun = std::find_if(adapters.begin(), adapters.end(), [](const auto& a) { return a.name == "VantorelTun"; });
    auto other = std::find_if(adapters.begin(), adapters.end(), [](const auto& a) { return a.name == "quorvandel"; });
    ASSERT_NE(tun, adapters.end());
    ASSERT_NE(other, adapters.end());
    EXPECT_EQ(tun->index, links.tun);
    EXPECT_EQ(tun->luid, LuidOfIndex(links.tun));
    EXPECT_TRUE(tun->up);
    EXPECT_EQ(other->index, links.quorvandel);
    EXPECT_FALSE(other->up);
    for (const auto& a : adapters) {
        ASSERT_GE(a.guid.size(), 2u);
        EXPECT_EQ(a.guid.front(), '{');
        EXPECT_EQ(a.guid.back(), '}');
    }
    EXPECT_NE(tun->guid, other->guid);
}

TEST(NetnsMain, TunAdapterIsFoundByItsExactName) {
    REQUIRE_NETNS_PHASE("main");
    Links links;
    Win32RouteTable table;
    AdapterInfo tun;
    ASSERT_TRUE(table.find_tun_adapter(tun));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_EQ(tun.name, "VantorelTun");
    EXPECT_EQ(tun.index, links.tun);
    EXPECT_NE(tun.index, links.lower_tun);
    EXPECT_EQ(tun.luid, LuidOfIndex(links.tun));
    EXPECT_TRUE(tun.up);
}

TEST(NetnsMain, CaptureRoutesAreVerifiedOnTheTun) {
    REQUIRE_NETNS_PHASE("main");
    Links links;
    Win32RouteTable table;
    AdapterInfo tun;
    std::vector<CaptureRoute> found{CaptureRoute{"stale", 9, 9, 9}};
    ASSERT_TRUE(table.verify_capture_routes(tun, found));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_EQ(tun.index, links.tun);
    ASSERT_EQ(found.size(), 2u);
    std::vector<std::string> destinations{found[0].destination, found[1].destination};
    std::sort(destinations.begin(), destinations.end());
    EXPECT_EQ(destinations, (std::vector<std::string>{"0.0.0.0", "128.0.0.0"}));
    for (const auto& route : found) {
        EXPECT_EQ(route.prefix_length, 1);
        EXPECT_EQ(route.interface_index, links.tun);
        EXPECT_EQ(route.interface_luid, LuidOfIndex(links.tun));
    }
}

TEST(NetnsMain, InterfaceHolderTellsOwnOtherAndNobody) {
    REQUIRE_NETNS_PHASE("main");
    Links links;
    Win32RouteTable table;
    struct Row {
        const char* name;
        std::uint64_t luid;
        InterfaceHolder holder;
    };
    const Row rows[] = {
        {"VantorelTun", LuidOfIndex(links.tun), InterfaceHolder::own},
        {"quorvandel", LuidOfIndex(links.quorvandel), InterfaceHolder::own},
        {"vantoreltun", LuidOfIndex(links.lower_tun), InterfaceHolder::other},
        {"vnfast", LuidOfIndex(links.fast), InterfaceHolder::other},
        {"no such LUID", 0x7fff000000000000ull, InterfaceHolder::none},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(row.luid, 0u);
        InterfaceHolder holder = InterfaceHolder::other;
        if (row.holder == InterfaceHolder::other) holder = InterfaceHolder::none;
        ASSERT_TRUE(table.interface_holder(row.luid, holder));
        EXPECT_EQ(table.last_error(), 0u);
        EXPECT_EQ(holder, row.holder);
    }
}

TEST(NetnsMain, NoIpv6DefaultRouteInANamespaceWithoutOne) {
    REQUIRE_NETNS_PHASE("main");
    Win32RouteTable table;
    bool present = true;
    ASSERT_TRUE(table.ipv6_default_route_present(present));
    EXPECT_EQ(table.last_error(), 0u);
    EXPECT_FALSE(present);
}

// ---- tie: fast and slow defaults with equal metrics; VantorelTun holds only 0.0.0.0/1.

TEST(NetnsTie, EqualMetricsGoToTheRouteEarlierInTheTable) {
    REQUIRE_NETNS_PHASE("tie");
    Links links;
    ASSERT_NE(links.tie_first, 0u);
    Win32RouteTable table;
    PinRoute pin;
    ASSERT_TRUE(table.find_physical_route("198.51.100.7", pin));
    EXPECT_EQ(pin.interface_index, links.tie_first);
    EXPECT_EQ(pin.next_hop, links.tie_first == links.fast ? "10.81.0.1" : "10.82.0.1");
}

TEST(NetnsTie, HalfTheCaptureIsNotVerified) {
    REQUIRE_NETNS_PHASE("tie");
    Links links;
    Win32RouteTable table;
    AdapterInfo tun{"keep", "", 0, 0, false};
    std::vector<CaptureRoute> found;
    EXPECT_FALSE(table.verify_capture_routes(tun, found));
    EXPECT_EQ(tun.name, "keep");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].destination, "0.0.0.0");
    EXPECT_EQ(found[0].interface_index, links.tun);
}

// ---- onlink: the only hardware default has no gateway.

TEST(NetnsOnlink, OnLinkDefaultGivesAnUnspecifiedGateway) {
    REQUIRE_NETNS_PHASE("onlink");
    Links links;
    Win32RouteTable table;
    PinRoute pin;
    ASSERT_TRUE(table.find_physical_route("198.51.100.7", pin));
    EXPECT_EQ(pin.interface_index, links.fast);
    EXPECT_EQ(pin.next_hop, "0.0.0.0");
}

// ---- sole loopback: the only default route is on the loopback.

TEST(NetnsSoleLoopback, NoHardwareDefaultIsNotFound) {
    REQUIRE_NETNS_PHASE("sole-loopback");
    Win32RouteTable table;
    PinRoute pin{"keep", 1, 2, 3, "keep", 4};
    EXPECT_FALSE(table.find_physical_route("198.51.100.7", pin));
    EXPECT_EQ(table.last_error(), 1168u);
    EXPECT_EQ(pin.destination, "keep");
}

TEST(NetnsSoleLoopback, LoopbackDefaultIsListedAsNotPhysical) {
    REQUIRE_NETNS_PHASE("sole-loopback");
    Win32RouteTable table;
    std::vector<DefaultRouteInfo> routes;
    ASSERT_TRUE(table.list_default_routes(routes));
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_EQ(routes[0].interface_alias, "lo");
    EXPECT_FALSE(routes[0].physical);
    EXPECT_EQ(routes[0].prefix_length, 0);
}

// ---- bare: no default route at all; VantorelTun is down; the link named vantoreltun
// (other letter case) is up; the pin route is gone.

TEST(NetnsBare, NoDefaultRouteIsNotFound) {
    REQUIRE_NETNS_PHASE("bare");
    Win32RouteTable table;
    PinRoute pin;
    EXPECT_FALSE(table.find_physical_route("198.51.100.7", pin));
    EXPECT_EQ(table.last_error(), 1168u);
    std::vector<DefaultRouteInfo> routes{DefaultRouteInfo{}};
    ASSERT_TRUE(table.list_default_routes(routes));
    EXPECT_TRUE(routes.empty());
}

TEST(NetnsBare, DownTunIsNotFoundAndOtherCaseIsNotOwn) {
    REQUIRE_NETNS_PHASE("bare");
    Links links;
    Win32RouteTable table;
    AdapterInfo tun{"keep", "", 0, 0, false};
    EXPECT_FALSE(table.find_tun_adapter(tun));
    EXPECT_EQ(table.last_error(), 1168u);
    EXPECT_EQ(tun.name, "keep");

    std::vector<AdapterInfo> adapters;
    ASSERT_TRUE(table.list_own_adapters(adapters));
    auto listed = std::find_if(adapters.begin(), adapters.end(), [](const auto& a) { return a.name == "VantorelTun"; });
    ASSERT_NE(listed, adapters.end());
    EXPECT_FALSE(listed->up);
    for (const auto& a : adapters) EXPECT_NE(a.index, links.lower_tun) << a.name;

    std::vector<CaptureRoute> found;
    EXPECT_FALSE(table.verify_capture_routes(tun, found));
    EXPECT_TRUE(found.empty());
}

TEST(NetnsBare, PinRouteIsGone) {
    REQUIRE_NETNS_PHASE("bare");
    Win32RouteTable table;
    PinRoute pin;
    pin.destination = kPinDestination;
    EXPECT_TRUE(table.pin_route_absent(pin));
    EXPECT_EQ(table.last_error(), 0u);
}

// ---- empty: neither own name is present; the link named vantoreltun (other letter case) is.

// An adapter named VantorelTun is there, up, with both capture halves, but its GUID is not the
// one the engine gives that name: it is not the broker's.
TEST(NetnsEmpty, NoOwnAdapterIsAnEmptyListNotAFailure) {
    REQUIRE_NETNS_PHASE("empty");
    Win32RouteTable table;
    std::vector<AdapterInfo> adapters{AdapterInfo{"stale", "", 1, 1, true}};
    ASSERT_TRUE(table.list_own_adapters(adapters));
    EXPECT_EQ(table.last_error(), 0u);
    std::string listed;
    for (const auto& a : adapters) listed += a.name + " ";
    EXPECT_EQ(listed, "");

    AdapterInfo tun{"keep", "", 0, 0, false};
    EXPECT_FALSE(table.find_tun_adapter(tun));
    EXPECT_EQ(table.last_error(), 1168u);
    EXPECT_EQ(tun.name, "keep");
    std::vector<CaptureRoute> found{CaptureRoute{"stale", 1, 1, 1}};
    EXPECT_FALSE(table.verify_capture_routes(tun, found));
    EXPECT_TRUE(found.empty());
}

}  // namespace
}  // namespace vantorel
