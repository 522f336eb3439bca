// The physical uplink and its effective metric, as the Windows route table decides them.

#include "broker/portable/uplink_choice.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace vantorel {
namespace {

constexpr std::uint32_t kWintun = 53;     // IF_TYPE_PROP_VIRTUAL
constexpr std::uint32_t kIpTunnel = 131;  // IF_TYPE_TUNNEL
constexpr std::uint32_t kLoopback = 24;   // IF_TYPE_SOFTWARE_LOOPBACK
constexpr std::uint32_t kWifi = 71;       // IF_TYPE_IEEE80211

// A default route on an up, known interface; fields changed by the builders below.
UplinkRow Route(std::uint32_t if_type, bool hardware, std::uint32_t route_metric, std::uint32_t interface_metric) {
    UplinkRow row;
    row.interface_known = true;
    row.hardware = hardware;
    row.if_type = if_type;
    row.up = true;
    row.route_metric = route_metric;
    row.has_interface_metric = true;
    row.interface_metric = interface_metric;
    row.next_hop_ipv4 = true;
    return row;
}
UplinkRow Ethernet(std::uint32_t route_metric = 0, std::uint32_t interface_metric = 25) {
    return Route(kIfTypeEthernet, true, route_metric, interface_metric);
}
UplinkRow WiFi(std::uint32_t route_metric = 0, std::uint32_t interface_metric = 50) {
    return Route(kWifi, true, route_metric, interface_metric);
}
UplinkRow Pppoe(std::uint32_t route_metric = 0) { return Route(kIfTypePpp, false, route_metric, 1); }
UplinkRow VEthernet(std::uint32_t route_metric = 0) { return Route(kIfTypeEthernet, false, route_metric, 15); }
UplinkRow Tunnel(std::uint32_t if_type, std::uint32_t route_metric = 0) {
    return Route(if_type, false, route_metric, 5);
}
UplinkRow Down(UplinkRow row) {
    row.up = false;
    return row;
}
UplinkRow Own(UplinkRow row) {
    row.own = true;
    return row;
}
UplinkRow Half(UplinkRow row) {
    row.prefix_length = 1;
    return row;
}
UplinkRow Unread(UplinkRow row) {
    row.interface_known = false;
    row.has_interface_metric = false;
    return row;
}
UplinkRow NoInterfaceMetric(UplinkRow row) {
    row.has_interface_metric = false;
    return row;
}
UplinkRow Ipv6NextHop(UplinkRow row) {
    row.next_hop_ipv4 = false;
    return row;
}

TEST(UplinkChoice, HardwareIsAlwaysPhysicalAndPppOrEthernetTypeOnlyWithoutIt) {
    struct Case {
        const char* name;
        std::vector<UplinkRow> rows;
        std::vector<bool> physical;
    };
    const Case cases[] = {
        {"ethernet and wi-fi", {Ethernet(), WiFi()}, {true, true}},
        {"pppoe beside a hardware default", {Ethernet(), Pppoe()}, {true, false}},
        {"pppoe alone", {Pppoe()}, {true}},
        {"pppoe over an ethernet link without default", {Half(Ethernet()), Pppoe()}, {true, true}},
        {"pppoe while the hardware uplink is down", {Down(Ethernet()), Pppoe()}, {true, true}},
        {"vethernet of an external switch", {VEthernet()}, {true}},
        {"vethernet beside wi-fi", {WiFi(), VEthernet()}, {true, false}},
        {"wintun-type adapter alone", {Tunnel(kWintun)}, {false}},
        {"ip tunnel alone", {Tunnel(kIpTunnel)}, {false}},
        {"loopback alone", {Tunnel(kLoopback)}, {false}},
        {"own hardware-flagged adapter", {Own(Ethernet())}, {false}},
        {"own ethernet-type adapter alone", {Own(VEthernet())}, {false}},
        {"interface that cannot be read", {Unread(Ethernet()), Pppoe()}, {false, true}},
        {"own hardware default does not count as an uplink", {Own(Ethernet()), Pppoe()}, {false, true}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PhysicalUplinks(c.rows), c.physical) << c.name;
    }
}

TEST(UplinkChoice, EffectiveMetricAddsTheInterfaceMetricOrFallsBackForAll) {
    const std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
    struct Case {
        const char* name;
        std::vector<UplinkRow> rows;
        std::vector<std::uint32_t> metrics;
    };
    const Case cases[] = {
        {"both known", {Ethernet(0, 25), WiFi(0, 50)}, {25, 50}},
        {"route and interface add", {Ethernet(10, 25), WiFi(256, 50)}, {35, 306}},
        {"one interface metric missing", {Ethernet(10, 25), NoInterfaceMetric(WiFi(5, 50))}, {10, 5}},
        {"none known (Wine)", {NoInterfaceMetric(Ethernet(10)), NoInterfaceMetric(WiFi(5))}, {10, 5}},
        {"an unreadable interface does not spoil the rest", {Unread(Tunnel(kWintun, 3)), Ethernet(0, 25)}, {3, 25}},
        {"sum saturates", {Ethernet(max - 5, 100)}, {max}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EffectiveMetrics(c.rows), c.metrics) << c.name;
    }
}

TEST(UplinkChoice, ThePinRouteFollowsTheRouteWindowsWouldUse) {
    struct Case {
        const char* name;
        std::vector<UplinkRow> rows;
        int chosen;
    };
    const Case cases[] = {
        // DHCP gives both route metric 0: the interface metric decides, not the table order.
        {"wi-fi listed first, ethernet better", {WiFi(0, 50), Ethernet(0, 25)}, 1},
        {"same without interface metrics: first in the table",
         {NoInterfaceMetric(WiFi(0)), NoInterfaceMetric(Ethernet(0))},
         0},
        {"route metrics 25 and 10", {Ethernet(25, 0), WiFi(10, 0)}, 1},
        {"equal effective metrics: the earlier row", {Ethernet(10, 25), WiFi(0, 35)}, 0},
        {"a tunnel with a better metric is no uplink", {Tunnel(kWintun, 0), Ethernet(0, 25)}, 1},
        {"pppoe host", {Half(Tunnel(kWintun)), Pppoe(0)}, 1},
        {"vethernet host", {VEthernet(0)}, 0},
        {"down and own rows are skipped", {Down(Ethernet(0, 1)), Own(WiFi(0, 1)), WiFi(0, 50)}, 2},
        {"half-default rows are no candidates", {Half(Ethernet(0, 1)), WiFi(0, 50)}, 1},
        {"winner without an IPv4 next hop", {Ipv6NextHop(Ethernet(0, 25)), WiFi(0, 50)}, -1},
        {"only tunnels and loopback", {Tunnel(kWintun), Tunnel(kLoopback)}, -1},
        {"nothing", {}, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChoosePhysicalRoute(c.rows), c.chosen) << c.name;
    }
}

TEST(ServerAddress, OnlyAnAddressBeyondThisHostAndItsRouterIsAServer) {
    const std::vector<std::string> own = {"192.168.1.20", "10.8.0.2"};
    struct Case {
        const char* address;
        ServerAddressVerdict verdict;
    };
    const Case cases[] = {
        {"198.51.100.20", ServerAddressVerdict::server},
        {"1.0.0.0", ServerAddressVerdict::server},
        {"223.255.255.255", ServerAddressVerdict::server},
        {"240.0.0.1", ServerAddressVerdict::server},
        {"255.255.255.254", ServerAddressVerdict::server},
        {"192.168.1.2", ServerAddressVerdict::server},
        {"0.0.0.0", ServerAddressVerdict::unspecified},
        {"0.255.255.255", ServerAddressVerdict::unspecified},
        {"127.0.0.1", ServerAddressVerdict::loopback},
        {"127.255.255.254", ServerAddressVerdict::loopback},
        {"224.0.0.1", ServerAddressVerdict::multicast},
        {"239.255.255.250", ServerAddressVerdict::multicast},
        {"255.255.255.255", ServerAddressVerdict::broadcast},
        {"192.168.1.1", ServerAddressVerdict::gateway},
        {"192.168.1.20", ServerAddressVerdict::own_address},
        {"10.8.0.2", ServerAddressVerdict::own_address},
        {"", ServerAddressVerdict::unparsable},
        {"1.2.3.", ServerAddressVerdict::unparsable},
        {"1.2.3.256", ServerAddressVerdict::unparsable},
        {"1.2.3.4.5", ServerAddressVerdict::unparsable},
        {"01.2.3.4x", ServerAddressVerdict::unparsable},
        {"2001:db8::1", ServerAddressVerdict::unparsable},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeServerAddress(c.address, "192.168.1.1", own), c.verdict) << c.address;
    }
    // An unknown gateway or an unreadable entry matches nothing.
    EXPECT_EQ(JudgeServerAddress("192.168.1.1", "", {}), ServerAddressVerdict::server);
    EXPECT_EQ(JudgeServerAddress("192.168.1.1", "fe80::1", {"junk"}), ServerAddressVerdict::server);
    EXPECT_STREQ(ServerAddressVerdictName(ServerAddressVerdict::own_address), "own_address");
    EXPECT_STREQ(ServerAddressVerdictName(ServerAddressVerdict::broadcast), "broadcast");
}

}  // namespace
}  // namespace vantorel
