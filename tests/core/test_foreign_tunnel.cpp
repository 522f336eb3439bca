// Which default-route entries mean that another tunnel already owns the traffic.

#include <gtest/gtest.h>

#include "broker/core/foreign_tunnel.h"
#include "broker/core/tunnel_controller.h"

namespace vantorel {
namespace {

DefaultRouteInfo Route(const std::string& alias, bool physical, std::uint32_t metric, int prefix = 0,
                       std::uint32_t destination = 0, bool up = true, bool own = false) {
    DefaultRouteInfo route;
    route.interface_alias = alias;
    route.physical = physical;
    route.up = up;
    route.own = own;
    route.prefix_length = prefix;
    route.destination = destination;
    route.metric = metric;
    return route;
}

struct ForeignRow {
    const char* name;
    std::vector<DefaultRouteInfo> routes;
    std::string expected;
};

void PrintTo(const ForeignRow& row, std::ostream* out) { *out << row.name; }

constexpr std::uint32_t kUpperHalf = 0x80000000u;

std::vector<ForeignRow> Rows() {
    return {
        {"only_hardware", {Route("Ethernet", true, 25)}, ""},
        {"virtual_below_hardware", {Route("Ethernet", true, 25), Route("wg0", false, 5)}, "wg0"},
        {"virtual_equal_to_hardware", {Route("Ethernet", true, 25), Route("wg0", false, 25)}, ""},
        {"virtual_above_hardware", {Route("Ethernet", true, 25), Route("wg0", false, 50)}, ""},
        {"no_hardware_any_virtual", {Route("wg0", false, 500)}, "wg0"},
        {"lowest_virtual_wins", {Route("a", false, 9), Route("b", false, 3), Route("c", false, 3)}, "b"},
        {"virtual_down", {Route("wg0", false, 5, 0, 0, false)}, ""},
        {"own_adapter_ignored", {Route("VantorelTun", false, 1, 0, 0, true, true)}, ""},
        {"nameless_ignored", {Route("", false, 1)}, ""},
        {"hardware_down_does_not_count", {Route("Ethernet", true, 1, 0, 0, false), Route("wg0", false, 50)}, "wg0"},
        {"both_halves",
         {Route("Ethernet", true, 25), Route("tun9", false, 900, 1, 0), Route("tun9", false, 900, 1, kUpperHalf)},
         "tun9"},
        {"one_half_only", {Route("Ethernet", true, 25), Route("tun9", false, 900, 1, kUpperHalf)}, ""},
        {"halves_split_between_aliases",
         {Route("Ethernet", true, 25), Route("x", false, 1, 1, 0), Route("y", false, 1, 1, kUpperHalf)},
         ""},
        {"halves_first_alias_in_byte_order",
         {Route("zeta", false, 1, 1, 0), Route("zeta", false, 1, 1, kUpperHalf), Route("Alpha", false, 1, 1, 0),
          Route("Alpha", false, 1, 1, kUpperHalf)},
         "Alpha"},
        {"own_halves_ignored",
         {Route("VantorelTun", false, 0, 1, 0, true, true), Route("VantorelTun", false, 0, 1, kUpperHalf, true, true)},
         ""},
        {"empty_list", {}, ""},
    };
}

class ForeignTunnel : public ::testing::TestWithParam<ForeignRow> {};

TEST_P(ForeignTunnel, NamesTheInterfaceAheadOfThePhysicalOne) {
    EXPECT_EQ(find_foreign_tunnel(GetParam().routes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ForeignTunnel, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<ForeignRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantorel
