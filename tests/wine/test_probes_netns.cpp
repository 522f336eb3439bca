// The HTTP 204 probes against an HTTP server the test plays on 127.0.0.1:80, the SOCKS probe
// through Debian's microsocks, and name lookups that must fail without leaving the machine.
// Port 80 and the proxies exist only inside the namespace run_netns_tests.sh builds.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "broker/win32/win32_connectivity_probe.h"
#include "broker/win32/win32_resolver.h"
#include "broker/win32/win32_route_table.h"
#include "tests/wine/netns_environment.h"
#include "tests/wine/scripted_tcp_server.h"

namespace vantorel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::HttpResponse;
using testing::NetnsNumber;
using testing::ReadRequestHead;
using testing::ScriptedTcpServer;
using testing::SendAll;
using testing::Transcript;

const std::string kExpectedRequest =
    "GET /generate_204 HTTP/1.1\r\nHost: connectivitycheck.gstatic.com\r\nConnection: close\r\n\r\n";

enum class Answer { no_content, big_ok, status_line_then_close, silent, close_at_once };

// An HTTP server on 127.0.0.1:80 giving one kind of answer.
struct PortEightyServer {
    explicit PortEightyServer(Answer answer)
        : server("127.0.0.1", 80, [this, answer](SOCKET client) {
              heads.add(ReadRequestHead(client));
              switch (answer) {
                  case Answer::no_content:
                      SendAll(client, "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                      break;
                  case Answer::big_ok:
                      SendAll(client, HttpResponse(200, "OK", std::string(9000, 'a')));
                      break;
                  case Answer::status_line_then_close:
                      SendAll(client, "HTTP/1.1 200 OK\r\n");
                      break;
                  case Answer::silent:
                      std::this_thread::sleep_for(milliseconds(4500));
                      break;
                  case Answer::close_at_once:
                      break;
              }
          }) {}
    Transcript heads;
    ScriptedTcpServer server;
};

// The probe on the route table under test: direct, or bound to the loopback interface.
enum class Path { direct, on_interface };

bool Probe(Win32RouteTable& table, Path path, const std::string& ipv4) {
    if (path == Path::direct) return table.probe_http_direct(ipv4, nullptr);
    return table.probe_http_on_interface(NetnsNumber("VANTOREL_NET_LO_INDEX"), ipv4, nullptr);
}

struct HttpCase {
    const char* name;
    Path path;
    Answer answer;
    bool ok;
    std::uint32_t error;
};

class NetnsMainHttpProbe : public ::testing::TestWithParam<HttpCase> {};

TEST_P(NetnsMainHttpProbe, AnswersAsTheServerDoes) {
    REQUIRE_NETNS_PHASE("main");
    const HttpCase& c = GetParam();
    PortEightyServer server(c.answer);
    ASSERT_TRUE(server.server.ok()) << "port 80 is taken or not bindable";
    Win32RouteTable table;
    EXPECT_EQ(Probe(table, c.path, "127.0.0.1"), c.ok);
    EXPECT_EQ(table.last_error(), c.error);
    auto heads = server.heads.items();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0], kExpectedRequest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetnsMainHttpProbe,
    ::testing::Values(HttpCase{"DirectNoContent", Path::direct, Answer::no_content, true, 0},
                      HttpCase{"DirectBigOk", Path::direct, Answer::big_ok, false, 13},
                      HttpCase{"DirectStatusLineThenClose", Path::direct, Answer::status_line_then_close, false, 13},
                      HttpCase{"DirectCloseAtOnce", Path::direct, Answer::close_at_once, false, 13},
                      HttpCase{"InterfaceNoContent", Path::on_interface, Answer::no_content, true, 0},
                      HttpCase{"InterfaceBigOk", Path::on_interface, Answer::big_ok, false, 13},
                      HttpCase{"InterfaceStatusLineThenClose", Path::on_interface, Answer::status_line_then_close,
                               false, 13},
                      HttpCase{"InterfaceCloseAtOnce", Path::on_interface, Answer::close_at_once, false, 13}),
    [](const auto& info) { return std::string(info.param.name); });

// Accepts, reads, never answers: the receive time-out, set to the time left, ends it.
TEST(NetnsMainHttpProbe, DirectProbeOfASilentServerEndsAtTheDeadline) {
    REQUIRE_NETNS_PHASE("main");
    PortEightyServer server(Answer::silent);
    ASSERT_TRUE(server.server.ok());
    Win32RouteTable table;
    auto started = Clock::now();
    EXPECT_FALSE(table.probe_http_direct("127.0.0.1", nullptr));
    auto waited = Clock::now() - started;
    EXPECT_EQ(table.last_error(), static_cast<std::uint32_t>(WSAETIMEDOUT));
    EXPECT_GE(waited, milliseconds(3300));
    EXPECT_LT(waited, milliseconds(4400));
}

// A listener whose backlog is full drops further handshakes, so the connect never completes.
TEST(NetnsMainHttpProbe, DirectProbeWithNoHandshakeTimesOutAfterThreeAndAHalfSeconds) {
    REQUIRE_NETNS_PHASE("main");
    testing::StartTestWinsock();
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 4; ++i) {
        SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long non_blocking = 1;
        ioctlsocket(filler, FIONBIO, &non_blocking);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(filler);
    }
    std::this_thread::sleep_for(milliseconds(200));
    Win32RouteTable table;
    auto started = Clock::now();
    EXPECT_FALSE(table.probe_http_direct("127.0.0.1", nullptr));
    auto waited = Clock::now() - started;
    EXPECT_EQ(table.last_error(), 1460u);
    EXPECT_GE(waited, milliseconds(3300));
    EXPECT_LT(waited, milliseconds(4400));
    for (SOCKET filler : fillers) closesocket(filler);
    closesocket(listener);
}

TEST(NetnsMainHttpProbe, NothingListeningIsConnectionRefused) {
    REQUIRE_NETNS_PHASE("main");
    Win32RouteTable table;
    EXPECT_FALSE(table.probe_http_direct("127.0.0.1", nullptr));
    EXPECT_EQ(table.last_error(), static_cast<std::uint32_t>(WSAECONNREFUSED));
    EXPECT_FALSE(table.probe_http_on_interface(NetnsNumber("VANTOREL_NET_LO_INDEX"), "127.0.0.1", nullptr));
    EXPECT_NE(table.last_error(), 0u);
}

TEST(NetnsMainHttpProbe, CancelledProbeStopsBeforeReading) {
    REQUIRE_NETNS_PHASE("main");
    PortEightyServer server(Answer::silent);
    ASSERT_TRUE(server.server.ok());
    Win32RouteTable table;
    auto started = Clock::now();
    EXPECT_FALSE(table.probe_http_direct("127.0.0.1", [] { return true; }));
    EXPECT_LT(Clock::now() - started, milliseconds(1000));
}

TEST(NetnsMainHttpProbe, UnparsableAddressIsInvalidParameter) {
    REQUIRE_NETNS_PHASE("main");
    Win32RouteTable table;
    EXPECT_FALSE(table.probe_http_direct("127.0.0", nullptr));
    EXPECT_EQ(table.last_error(), 87u);
    EXPECT_FALSE(table.probe_http_on_interface(1, "localhost", nullptr));
    EXPECT_EQ(table.last_error(), 87u);
}

// ---- SOCKS5 through microsocks on 127.0.0.1 (one open, one demanding a user name).

TEST(NetnsMainSocks, ProbeThroughARealProxySucceeds) {
    REQUIRE_NETNS_PHASE("main");
    PortEightyServer server(Answer::no_content);
    ASSERT_TRUE(server.server.ok());
    Win32ConnectivityProbe probe;
    ASSERT_TRUE(probe.probe_through_socks(static_cast<std::uint16_t>(NetnsNumber("VANTOREL_NET_SOCKS_PORT")),
                                          "127.0.0.1", nullptr))
        << probe.last_code() << " " << probe.last_error();
    EXPECT_EQ(probe.last_error(), 0u);
    EXPECT_STREQ(probe.last_code(), "");
    auto heads = server.heads.items();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0], kExpectedRequest);
}

TEST(NetnsMainSocks, AnswerWithoutNoContentIsBadStatus) {
    REQUIRE_NETNS_PHASE("main");
    PortEightyServer server(Answer::big_ok);
    ASSERT_TRUE(server.server.ok());
    Win32ConnectivityProbe probe;
    EXPECT_FALSE(probe.probe_through_socks(static_cast<std::uint16_t>(NetnsNumber("VANTOREL_NET_SOCKS_PORT")),
                                           "127.0.0.1", nullptr));
    EXPECT_EQ(probe.last_error(), 13u);
    EXPECT_STREQ(probe.last_code(), "http_bad_status");
}

TEST(NetnsMainSocks, ProxyDemandingAuthenticationFailsTheHandshake) {
    REQUIRE_NETNS_PHASE("main");
    Win32ConnectivityProbe probe;
    EXPECT_FALSE(probe.probe_through_socks(static_cast<std::uint16_t>(NetnsNumber("VANTOREL_NET_SOCKS_AUTH_PORT")),
                                           "127.0.0.1", nullptr));
    EXPECT_EQ(probe.last_error(), 5u);
    EXPECT_STREQ(probe.last_code(), "socks_handshake");
}

// ---- Names: the namespace's resolver configuration points at a closed local port.

TEST(NetnsMainResolver, UnknownNameFails) {
    REQUIRE_NETNS_PHASE("main");
    Win32Resolver resolver;
    std::string address = "unchanged";
    EXPECT_FALSE(resolver.resolve_ipv4("no-such-host.invalid", address));
    EXPECT_EQ(address, "unchanged");
}

}  // namespace
}  // namespace vantorel
