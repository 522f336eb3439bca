// Win32ConnectivityProbe and Win32Sleeper on loopback, no privileges needed. The probes
// that need port 80 or a real SOCKS server run in the network namespace
// (test_probes_netns.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "broker/win32/win32_connectivity_probe.h"
#include "broker/win32/win32_sleeper.h"
#include "tests/wine/scripted_tcp_server.h"

namespace vantorel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::ReadBytes;
using testing::ScriptedTcpServer;
using testing::SendAll;
using testing::Transcript;

std::uint16_t ClosedLoopbackPort() {
    ScriptedTcpServer probe("127.0.0.1", 0, [](SOCKET) {});
    return probe.ok() ? probe.port() : 0;
}

TEST(ReserveLocalPort, GivesAPortThatCanThenBeListenedOn) {
    Win32ConnectivityProbe probe;
    std::uint16_t port = 0;
    ASSERT_TRUE(probe.reserve_local_port(port));
    EXPECT_NE(port, 0);
    EXPECT_EQ(probe.last_error(), 0u);
    EXPECT_STREQ(probe.last_code(), "");
    ScriptedTcpServer engine("127.0.0.1", port, [](SOCKET) {});
    EXPECT_TRUE(engine.ok());
    EXPECT_EQ(engine.port(), port);
}

TEST(ReserveLocalPort, TwiceInARowBothSucceed) {
    Win32ConnectivityProbe probe;
    std::uint16_t first = 0;
    std::uint16_t second = 0;
    EXPECT_TRUE(probe.reserve_local_port(first));
    EXPECT_TRUE(probe.reserve_local_port(second));
    EXPECT_NE(first, 0);
    EXPECT_NE(second, 0);
}

struct BadArguments {
    const char* name;
    std::uint16_t port;
    const char* ipv4;
};

class SocksProbeArguments : public ::testing::TestWithParam<BadArguments> {};

TEST_P(SocksProbeArguments, AreRejectedAsUnreachableAtOnce) {
    Win32ConnectivityProbe probe;
    auto started = Clock::now();
    EXPECT_FALSE(probe.probe_through_socks(GetParam().port, GetParam().ipv4, nullptr));
    EXPECT_LT(Clock::now() - started, milliseconds(500));
    EXPECT_EQ(probe.last_error(), 87u);
    EXPECT_STREQ(probe.last_code(), "socks_unreachable");
}

INSTANTIATE_TEST_SUITE_P(Cases, SocksProbeArguments,
                         ::testing::Values(BadArguments{"PortZero", 0, "192.0.2.1"},
                                           BadArguments{"EmptyAddress", 1080, ""},
                                           BadArguments{"ThreeParts", 1080, "192.0.2"},
                                           BadArguments{"Name", 1080, "example.org"},
                                           BadArguments{"Ipv6", 1080, "::1"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A SOCKS5 server that accepts the greeting and refuses every CONNECT (general failure).
TEST(SocksProbe, RefusedConnectIsSocksRefused) {
    Transcript seen;
    ScriptedTcpServer proxy("127.0.0.1", 0, [&seen](SOCKET client) {
        seen.add(ReadBytes(client, 3));
        SendAll(client, std::string("\x05\x00", 2));
        seen.add(ReadBytes(client, 10));
        SendAll(client, std::string("\x05\x01\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    });
    ASSERT_TRUE(proxy.ok());
    Win32ConnectivityProbe probe;
    EXPECT_FALSE(probe.probe_through_socks(proxy.port(), "192.0.2.10", nullptr));
    EXPECT_EQ(probe.last_error(), 1225u);
    EXPECT_STREQ(probe.last_code(), "socks_refused");
    auto items = seen.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], std::string("\x05\x01\x00", 3));
    EXPECT_EQ(items[1], std::string("\x05\x01\x00\x01\xc0\x00\x02\x0a\x00\x50", 10));
}

// The proxy hangs up instead of answering CONNECT: the reply could not be read.
TEST(SocksProbe, ProxyClosingBeforeTheConnectReplyIsSocksRefused) {
    ScriptedTcpServer proxy("127.0.0.1", 0, [](SOCKET client) {
        ReadBytes(client, 3);
        SendAll(client, std::string("\x05\x00", 2));
        ReadBytes(client, 10);
    });
    ASSERT_TRUE(proxy.ok());
    Win32ConnectivityProbe probe;
    EXPECT_FALSE(probe.probe_through_socks(proxy.port(), "192.0.2.10", nullptr));
    EXPECT_STREQ(probe.last_code(), "socks_refused");
    EXPECT_NE(probe.last_error(), 0u);
}

TEST(SocksProbe, NothingListeningIsUnreachableAfterTheDeadline) {
    std::uint16_t port = ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    Win32ConnectivityProbe probe;
    auto started = Clock::now();
    EXPECT_FALSE(probe.probe_through_socks(port, "192.0.2.10", nullptr));
    auto waited = Clock::now() - started;
    EXPECT_STREQ(probe.last_code(), "socks_unreachable");
    EXPECT_NE(probe.last_error(), 0u);
    EXPECT_GE(waited, milliseconds(11500));
    EXPECT_LT(waited, milliseconds(14000));
}

TEST(SocksProbe, CancelledWhileWaitingForTheProxyStopsEarly) {
    std::uint16_t port = ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    Win32ConnectivityProbe probe;
    int asked = 0;
    auto started = Clock::now();
    EXPECT_FALSE(probe.probe_through_socks(port, "192.0.2.10", [&asked] { return ++asked > 2; }));
    EXPECT_LT(Clock::now() - started, milliseconds(2000));
    EXPECT_STREQ(probe.last_code(), "socks_unreachable");
}

TEST(SocksProbe, SuccessAfterAFailureClearsTheCode) {
    Win32ConnectivityProbe probe;
    EXPECT_FALSE(probe.probe_through_socks(0, "192.0.2.1", nullptr));
    std::uint16_t port = 0;
    ASSERT_TRUE(probe.reserve_local_port(port));
    EXPECT_EQ(probe.last_error(), 0u);
    EXPECT_STREQ(probe.last_code(), "");
}

struct QuickSleep {
    const char* name;
    int ms;
};

class SleeperQuick : public ::testing::TestWithParam<QuickSleep> {};

TEST_P(SleeperQuick, ReturnsAtOnce) {
    Win32Sleeper sleeper;
    auto started = Clock::now();
    sleeper.sleep_ms(GetParam().ms);
    EXPECT_LT(Clock::now() - started, milliseconds(20));
}

INSTANTIATE_TEST_SUITE_P(Cases, SleeperQuick,
                         ::testing::Values(QuickSleep{"Zero", 0}, QuickSleep{"Negative", -5},
                                           QuickSleep{"MostNegative", -2147483647 - 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sleeper, BlocksForTheGivenTime) {
    Win32Sleeper sleeper;
    auto started = Clock::now();
    sleeper.sleep_ms(150);
    auto slept = Clock::now() - started;
    EXPECT_GE(slept, milliseconds(140));
    EXPECT_LT(slept, milliseconds(1000));
}

}  // namespace
}  // namespace vantorel
