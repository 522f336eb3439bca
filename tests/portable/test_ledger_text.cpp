#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "broker/portable/ledger_text.h"

namespace vantorel {
namespace {

SessionLedger ConnectedLedger() {
    SessionLedger ledger;
    ledger.generation = 9223372036854775807LL;
    ledger.phase = SessionState::connected;
    ledger.pid = 4294967295u;
    ledger.cleanup_verified = false;
    ledger.pin_intended = true;
    ledger.pin = {"203.0.113.5", 18446744073709551615ULL, 12, 13, "192.168.1.1", 25};
    ledger.adapter_known = true;
    ledger.adapter = {"VantorelTun", "{6D1F0B7E-0000-4000-8000-000000000001}", 1689399632855040ULL, 41, true};
    ledger.routes = {{"0.0.0.0", 1, 1689399632855040ULL, 41},
                     {"128.0.0.0", 1, 1689399632855040ULL, 41},
                     {"::", 1, 1689399632855040ULL, 41},
                     {"8000::", 1, 1689399632855040ULL, 41}};
    ledger.config_written = true;
    ledger.firewall_open = true;
    ledger.tunnel_dns_guid = "{6D1F0B7E-0000-4000-8000-000000000001}";
    return ledger;
}

void ExpectSame(const SessionLedger& a, const SessionLedger& b) {
    EXPECT_EQ(a.generation, b.generation);
    EXPECT_EQ(a.phase, b.phase);
    EXPECT_EQ(a.pid, b.pid);
    EXPECT_EQ(a.cleanup_verified, b.cleanup_verified);
    EXPECT_EQ(a.pin_intended, b.pin_intended);
    EXPECT_EQ(a.pin.destination, b.pin.destination);
    EXPECT_EQ(a.pin.interface_luid, b.pin.interface_luid);
    EXPECT_EQ(a.pin.interface_index, b.pin.interface_index);
    EXPECT_EQ(a.pin.physical_index, b.pin.physical_index);
    EXPECT_EQ(a.pin.next_hop, b.pin.next_hop);
    EXPECT_EQ(a.pin.metric, b.pin.metric);
    EXPECT_EQ(a.adapter_known, b.adapter_known);
    EXPECT_EQ(a.adapter.name, b.adapter.name);
    EXPECT_EQ(a.adapter.guid, b.adapter.guid);
    EXPECT_EQ(a.adapter.luid, b.adapter.luid);
    EXPECT_EQ(a.adapter.index, b.adapter.index);
    ASSERT_EQ(a.routes.size(), b.routes.size());
    for (std::size_t i = 0; i < a.routes.size(); ++i) {
        EXPECT_EQ(a.routes[i].destination, b.routes[i].destination) << i;
        EXPECT_EQ(a.routes[i].prefix_length, b.routes[i].prefix_length) << i;
        EXPECT_EQ(a.routes[i].interface_luid, b.routes[i].interface_luid) << i;
        EXPECT_EQ(a.routes[i].interface_index, b.routes[i].interface_index) << i;
    }
    EXPECT_EQ(a.config_written, b.config_written);
    EXPECT_EQ(a.firewall_open, b.firewall_open);
    EXPECT_EQ(a.tunnel_dns_guid, b.tunnel_dns_guid);
}

TEST(LedgerTextTest, WritesTheV1LinesInOrder) {
    SessionLedger ledger = ConnectedLedger();
    ledger.routes.resize(1);
    ledger.routes[0] = {"198.51.100.9", 32, 7, 3};
    ledger.generation = -4;
    EXPECT_EQ(WriteLedgerText(ledger),
              "v1\ngeneration=-4\nphase=connected\npid=4294967295\ncleanup_verified=0\npin_intended=1\n"
              "destination=203.0.113.5\ninterface_luid=18446744073709551615\ninterface_index=12\n"
              "physical_index=13\nnext_hop=192.168.1.1\nmetric=25\nadapter_known=1\nadapter_name=VantorelTun\n"
              "adapter_guid={6D1F0B7E-0000-4000-8000-000000000001}\nadapter_luid=1689399632855040\n"
              "adapter_index=41\nconfig_written=1\nfirewall_open=1\n"
              "tunnel_dns_guid={6D1F0B7E-0000-4000-8000-000000000001}\nroute=198.51.100.9/32/7/3\n");
    EXPECT_EQ(WriteLedgerText(SessionLedger{}),
              "v1\ngeneration=0\nphase=idle\npid=0\ncleanup_verified=1\npin_intended=0\ndestination=\n"
              "interface_luid=0\ninterface_index=0\nphysical_index=0\nnext_hop=\nmetric=0\nadapter_known=0\n"
              "adapter_name=\nadapter_guid=\nadapter_luid=0\nadapter_index=0\nconfig_written=0\nfirewall_open=0\n"
              "tunnel_dns_guid=\n");
}

TEST(LedgerTextTest, RoundTripGivesEveryFieldBack) {
    std::vector<SessionLedger> ledgers;
    ledgers.push_back(ConnectedLedger());
    ledgers.push_back(SessionLedger{});
    SessionLedger connecting;
    connecting.generation = -9223372036854775807LL - 1;
    connecting.phase = SessionState::connecting;
    connecting.pid = 1;
    connecting.routes = {{"", 0, 0, 0}, {"a/b/c", 32, 5, 4294967295u}, {"198.51.100.1", -1, 1, 1}};
    ledgers.push_back(connecting);
    SessionLedger disconnecting = ConnectedLedger();
    disconnecting.phase = SessionState::disconnecting;
    disconnecting.adapter.name = "Vantorel Tun \xD0\xA2";
    ledgers.push_back(disconnecting);

    for (const SessionLedger& ledger : ledgers) {
        SessionLedger parsed;
        parsed.generation = 77;
        ASSERT_TRUE(ParseLedgerText(WriteLedgerText(ledger), parsed));
        ExpectSame(parsed, ledger);
        EXPECT_FALSE(parsed.adapter.up);
    }
}

TEST(LedgerTextTest, LineBreaksAndEqualsInValuesCannotForgeLines) {
    SessionLedger ledger = ConnectedLedger();
    ledger.pin.destination = "1.2.3.4\ninterface_luid=abc";
    ledger.pin.next_hop = "gw\r=x";
    ledger.adapter.name = "name\nroute=evil/1/2/3";
    ledger.adapter.guid = "=";
    ledger.routes = {{"d=e\nf", 1, 2, 3}};
    SessionLedger parsed;
    ASSERT_TRUE(ParseLedgerText(WriteLedgerText(ledger), parsed));
    EXPECT_EQ(parsed.pin.destination, "1.2.3.4 interface_luid abc");
    EXPECT_EQ(parsed.pin.interface_luid, ledger.pin.interface_luid);
    EXPECT_EQ(parsed.pin.next_hop, "gw  x");
    EXPECT_EQ(parsed.adapter.name, "name route evil/1/2/3");
    EXPECT_EQ(parsed.adapter.guid, " ");
    ASSERT_EQ(parsed.routes.size(), 1u);
    EXPECT_EQ(parsed.routes[0].destination, "d e f");
}

TEST(LedgerTextTest, BareTagGivesEmptyValues) {
    SessionLedger parsed = ConnectedLedger();
    ASSERT_TRUE(ParseLedgerText("v1", parsed));
    SessionLedger empty;
    empty.cleanup_verified = false;
    ExpectSame(parsed, empty);
    ASSERT_TRUE(ParseLedgerText("v1\n", parsed));
    ExpectSame(parsed, empty);
}

TEST(LedgerTextTest, LinesAreFoundByKeyInAnyOrderAndFirstWins) {
    SessionLedger parsed;
    ASSERT_TRUE(
        ParseLedgerText("v1\nunknown=1\nphase=disconnecting\ngeneration=12\ngeneration=13\n"
                        "route=::/1/5/7\nxroute=1/1/1/1\nroute=8000::/1/5/7\n pid=9\npid=8",
                        parsed));
    EXPECT_EQ(parsed.generation, 12);
    EXPECT_EQ(parsed.phase, SessionState::disconnecting);
    EXPECT_EQ(parsed.pid, 8u);
    ASSERT_EQ(parsed.routes.size(), 2u);
    EXPECT_EQ(parsed.routes[1].destination, "8000::");
}

struct FieldCase {
    std::string text;
    bool ok;
    std::function<void(const SessionLedger&)> check;
};

TEST(LedgerTextTest, FieldRulesTable) {
    const std::vector<FieldCase> cases = {
        {"v2\n", false, nullptr},
        {"v1x", false, nullptr},
        {"", false, nullptr},
        {"\nv1\n", false, nullptr},
        {"v1\r\ngeneration=5", false, nullptr},
        {"v1\ngeneration=", true, [](const SessionLedger& l) { EXPECT_EQ(l.generation, 0); }},
        {"v1\ngeneration=abc", false, nullptr},
        {"v1\ngeneration=-", false, nullptr},
        {"v1\ngeneration= \t+42xyz", true, [](const SessionLedger& l) { EXPECT_EQ(l.generation, 42); }},
        {"v1\ngeneration=7\r", true, [](const SessionLedger& l) { EXPECT_EQ(l.generation, 7); }},
        {"v1\ngeneration=-9223372036854775808", true,
         [](const SessionLedger& l) { EXPECT_EQ(l.generation, -9223372036854775807LL - 1); }},
        {"v1\ngeneration=9223372036854775808", false, nullptr},
        {"v1\ngeneration=-9223372036854775809", false, nullptr},
        {"v1\nphase=idle", true, [](const SessionLedger& l) { EXPECT_EQ(l.phase, SessionState::idle); }},
        {"v1\nphase=Connected", true, [](const SessionLedger& l) { EXPECT_EQ(l.phase, SessionState::idle); }},
        {"v1\nphase=connected\r", true, [](const SessionLedger& l) { EXPECT_EQ(l.phase, SessionState::idle); }},
        {"v1\npid=abc", true, [](const SessionLedger& l) { EXPECT_EQ(l.pid, 0u); }},
        {"v1\npid=4294967295", true, [](const SessionLedger& l) { EXPECT_EQ(l.pid, 4294967295u); }},
        // Above 32 bits is out of range on every platform, not only where unsigned long is 32-bit.
        {"v1\npid=4294967296", true, [](const SessionLedger& l) { EXPECT_EQ(l.pid, 0u); }},
        {"v1\nadapter_index=8589934593", true, [](const SessionLedger& l) { EXPECT_EQ(l.adapter.index, 0u); }},
        {"v1\nmetric=99999999999999999999999", true, [](const SessionLedger& l) { EXPECT_EQ(l.pin.metric, 0u); }},
        {"v1\ninterface_index=-1", true, [](const SessionLedger& l) { EXPECT_EQ(l.pin.interface_index, 0u); }},
        {"v1\nadapter_index= 17x", true, [](const SessionLedger& l) { EXPECT_EQ(l.adapter.index, 17u); }},
        {"v1\nphysical_index=+3", true, [](const SessionLedger& l) { EXPECT_EQ(l.pin.physical_index, 3u); }},
        {"v1\ncleanup_verified=1\npin_intended=true\nadapter_known=11\nconfig_written=1\r", true,
         [](const SessionLedger& l) {
             EXPECT_TRUE(l.cleanup_verified);
             EXPECT_FALSE(l.pin_intended);
             EXPECT_FALSE(l.adapter_known);
             EXPECT_FALSE(l.config_written);
         }},
        {"v1\nfirewall_open=1", true, [](const SessionLedger& l) { EXPECT_TRUE(l.firewall_open); }},
        // A ledger written before the filters existed has no such line.
        {"v1\nconfig_written=1\nroute=0.0.0.0/1/9/41", true,
         [](const SessionLedger& l) { EXPECT_FALSE(l.firewall_open); }},
        {"v1\ndestination= 1.2.3.4\r", true,
         [](const SessionLedger& l) { EXPECT_EQ(l.pin.destination, " 1.2.3.4\r"); }},
        {"v1\ninterface_luid=", true, [](const SessionLedger& l) { EXPECT_EQ(l.pin.interface_luid, 0u); }},
        {"v1\ninterface_luid=18446744073709551615", true,
         [](const SessionLedger& l) { EXPECT_EQ(l.pin.interface_luid, 18446744073709551615ULL); }},
        {"v1\ninterface_luid=18446744073709551616", false, nullptr},
        {"v1\nadapter_luid=x", false, nullptr},
        // A negative LUID must not wrap around to some other interface.
        {"v1\nadapter_luid=-1", false, nullptr},
        {"v1\ninterface_luid= -0", false, nullptr},
    };
    for (const FieldCase& c : cases) {
        SessionLedger parsed;
        EXPECT_EQ(ParseLedgerText(c.text, parsed), c.ok) << c.text;
        if (c.ok && c.check) c.check(parsed);
    }
}

struct RouteCase {
    std::string value;
    bool ok;
    CaptureRoute route;
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.value; }

class RouteLineTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(RouteLineTest, SplitsAtTheLastThreeSlashes) {
    SessionLedger parsed;
    const RouteCase& c = GetParam();
    ASSERT_EQ(ParseLedgerText("v1\nroute=" + c.value + "\n", parsed), c.ok) << c.value;
    if (!c.ok) return;
    ASSERT_EQ(parsed.routes.size(), 1u);
    EXPECT_EQ(parsed.routes[0].destination, c.route.destination);
    EXPECT_EQ(parsed.routes[0].prefix_length, c.route.prefix_length);
    EXPECT_EQ(parsed.routes[0].interface_luid, c.route.interface_luid);
    EXPECT_EQ(parsed.routes[0].interface_index, c.route.interface_index);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, RouteLineTest,
    ::testing::Values(
        RouteCase{"::/1/5/7", true, {"::", 1, 5, 7}}, RouteCase{"a/b/c/d/1/5/7", true, {"a/b/c/d", 1, 5, 7}},
        RouteCase{"/1/5/7", true, {"", 1, 5, 7}}, RouteCase{"1/5/7", false, {}}, RouteCase{"/5/7", false, {}},
        RouteCase{"", false, {}}, RouteCase{"x/1//7", true, {"x", 1, 0, 7}}, RouteCase{"x/1/5/", false, {}},
        RouteCase{"x//5/7", false, {}}, RouteCase{"x/one/5/7", false, {}}, RouteCase{"x/1/-5/7", false, {}},
        RouteCase{"x/1/5/-7", false, {}}, RouteCase{"x/1/5/4294967296", false, {}},
        RouteCase{"x/2147483648/5/7", false, {}}, RouteCase{"x/-1/5/7", true, {"x", -1, 5, 7}},
        RouteCase{"x/32/18446744073709551615/4294967295", true, {"x", 32, 18446744073709551615ULL, 4294967295u}},
        RouteCase{"x/1/18446744073709551616/7", false, {}}, RouteCase{"//1/5/7", true, {"/", 1, 5, 7}}));

TEST(LedgerTextTest, IsDottedIpv4TextTable) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"203.0.113.7", true}, {"1.2.3.", true},     {"...", true},      {"255.255.255.255", true},
        {"1.2.3", false},      {"1.2.3.4.5", false}, {"", false},        {"0255.255.255.255", false},
        {"1.2.3.4\r", false},  {" 1.2.3.4", false},  {"1.2.3.x", false}, {"::1", false}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(IsDottedIpv4Text(text), expected) << text;
}

TEST(LedgerTextTest, SalvageTakesTheFirstDottedDestination) {
    SessionLedger out;
    out.generation = 55;
    ASSERT_TRUE(SalvageLedgerText("v1\ngeneration=abc\nnext_hop=1.1.1.1\ndestination=203.0.113.7\nmore", out));
    EXPECT_EQ(out.phase, SessionState::disconnecting);
    EXPECT_FALSE(out.cleanup_verified);
    EXPECT_TRUE(out.pin_intended);
    EXPECT_EQ(out.pin.destination, "203.0.113.7");
    EXPECT_EQ(out.pin.interface_luid, 0u);
    EXPECT_EQ(out.generation, 0);
    EXPECT_FALSE(out.adapter_known);
    EXPECT_TRUE(out.routes.empty());

    ASSERT_TRUE(SalvageLedgerText("garbage destination=198.51.100.4", out));
    EXPECT_EQ(out.pin.destination, "198.51.100.4");
}

TEST(LedgerTextTest, SalvageRefusesWhatIsNotDottedIpv4) {
    for (const std::string text : {"v2\nphase=connected\n", "v1\ndestination=example.org\ndestination=1.2.3.4\n",
                                   "destination=\n", "destination=1.2.3.4\r\n", ""}) {
        SessionLedger out;
        out.generation = 3;
        out.pin.destination = "kept";
        EXPECT_FALSE(SalvageLedgerText(text, out)) << text;
        EXPECT_EQ(out.generation, 3);
        EXPECT_EQ(out.pin.destination, "kept");
    }
}

}  // namespace
}  // namespace vantorel
