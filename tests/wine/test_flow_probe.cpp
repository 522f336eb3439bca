// WinHttpFlowProbe against an HTTP server played by the test on loopback.

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "broker/win32/winhttp_flow_probe.h"
#include "tests/wine/scripted_tcp_server.h"

namespace vantorel {
namespace {

using testing::HttpResponse;
using testing::ReadRequestHead;
using testing::ScriptedTcpServer;
using testing::SendAll;
using testing::Transcript;

const char kSecret[] = "0123456789abcdef0123456789abcdef0123456789abcdef";

// Two connections as sing-box reports them, and one without an id.
const char kRealisticBody[] =
    R"({"downloadTotal":123456,"uploadTotal":7890,"connections":[)"
    R"({"id":"6f1c2a9e-0d3b-4c55-9a7e-1b2c3d4e5f60","metadata":{"network":"tcp","type":"tun",)"
    R"("sourceIP":"172.19.0.1","destinationIP":"93.184.216.34","sourcePort":"50123",)"
    R"("destinationPort":"443","host":"example.org","dnsMode":"normal",)"
    R"("processPath":"C:\\Program Files\\App\\app.exe"},"upload":1024,"download":65536,)"
    R"("start":"2026-12-08T01:00:00.123Z","chains":["proxy"],"rule":"final","rulePayload":""},)"
    R"({"id":"0a0b0c0d-1111-2222-3333-444455556666","metadata":{"network":"udp","type":"tun",)"
    R"("sourceIP":"172.19.0.1","destinationIP":"192.0.2.1","sourcePort":"5353",)"
    R"("destinationPort":"","host":"","dnsMode":"normal","processPath":""},)"
    R"("upload":0,"download":12,"start":"2026-12-08T01:00:01Z","chains":["direct"],"rule":"","rulePayload":""},)"
    R"({"metadata":{"network":"tcp","destinationIP":"198.51.100.1","destinationPort":"80","host":""},)"
    R"("upload":1,"download":1,"chains":["proxy"]})"
    R"(],"memory":4194304})";

// Answers every request with `response` and keeps the request heads it saw.
struct FixedAnswerServer {
    explicit FixedAnswerServer(std::string response)
        : server("127.0.0.1", 0, [this, response = std::move(response)](SOCKET client) {
              heads.add(ReadRequestHead(client));
              SendAll(client, response);
          }) {}
    Transcript heads;
    ScriptedTcpServer server;
};

FlowSample SampleWithOneConnection() {
    FlowSample sample;
    sample.connections.push_back(FlowConnection{"keep", "tcp", "proxy", "x:1", "", 1, 2});
    sample.missing_ids = 7;
    return sample;
}

TEST(WinHttpFlowProbe, ReadsARealisticConnectionList) {
    FixedAnswerServer answer(HttpResponse(200, "OK", kRealisticBody));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample;
    ASSERT_TRUE(probe.poll(sample));
    EXPECT_EQ(probe.last_error(), 0u);
    ASSERT_EQ(sample.connections.size(), 2u);
    EXPECT_EQ(sample.missing_ids, 1u);
    const FlowConnection& first = sample.connections[0];
    EXPECT_EQ(first.id, "6f1c2a9e-0d3b-4c55-9a7e-1b2c3d4e5f60");
    EXPECT_EQ(first.network, "tcp");
    EXPECT_EQ(first.chain, "proxy");
    EXPECT_EQ(first.destination, "example.org:443");
    EXPECT_EQ(first.process, "app.exe");
    EXPECT_EQ(first.upload, 1024u);
    EXPECT_EQ(first.download, 65536u);
    const FlowConnection& second = sample.connections[1];
    EXPECT_EQ(second.network, "udp");
    EXPECT_EQ(second.chain, "direct");
    EXPECT_EQ(second.destination, "192.0.2.1");
    EXPECT_EQ(second.download, 12u);
}

TEST(WinHttpFlowProbe, SendsTheBearerSecretAndAsksForConnections) {
    FixedAnswerServer answer(HttpResponse(200, "OK", R"({"connections":[]})"));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample;
    ASSERT_TRUE(probe.poll(sample));
    auto heads = answer.heads.items();
    ASSERT_EQ(heads.size(), 1u);
    const std::string& head = heads[0];
    EXPECT_EQ(head.rfind("GET /connections HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find(std::string("\r\nAuthorization: Bearer ") + kSecret + "\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: VantorelBroker/1\r\n"), std::string::npos) << head;
}

TEST(WinHttpFlowProbe, EmptyListReplacesThePreviousSample) {
    FixedAnswerServer answer(
        HttpResponse(200, "OK", R"({"downloadTotal":0,"uploadTotal":0,"connections":[],"memory":1})"));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample = SampleWithOneConnection();
    ASSERT_TRUE(probe.poll(sample));
    EXPECT_TRUE(sample.connections.empty());
    EXPECT_EQ(sample.missing_ids, 0u);
}

struct RefusedPoll {
    const char* name;
    int status;
    std::string body;
    std::uint32_t error;
};

class WinHttpFlowProbeRefusal : public ::testing::TestWithParam<RefusedPoll> {};

TEST_P(WinHttpFlowProbeRefusal, FailsWithTheNumberAndKeepsTheOldSample) {
    const RefusedPoll& c = GetParam();
    FixedAnswerServer answer(HttpResponse(c.status, c.status == 200 ? "OK" : "Unauthorized", c.body));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample = SampleWithOneConnection();
    EXPECT_FALSE(probe.poll(sample));
    EXPECT_EQ(probe.last_error(), c.error);
    ASSERT_EQ(sample.connections.size(), 1u);
    EXPECT_EQ(sample.connections[0].id, "keep");
    EXPECT_EQ(sample.missing_ids, 7u);
}

INSTANTIATE_TEST_SUITE_P(Cases, WinHttpFlowProbeRefusal,
                         ::testing::Values(RefusedPoll{"NullConnections", 200, R"({"connections":null})", 13},
                                           RefusedPoll{"Unauthorized", 401, R"({"message":"Unauthorized"})", 401},
                                           RefusedPoll{"NotJson", 200, "<html></html>", 13}),
                         [](const auto& info) { return std::string(info.param.name); });

std::string ConnectionObject(int n) {
    return R"({"id":"c)" + std::to_string(n) +
           R"(","metadata":{"network":"tcp","destinationIP":"192.0.2.1","destinationPort":"443","host":""},)"
           R"("upload":1,"download":2,"chains":["proxy"]})";
}

TEST(WinHttpFlowProbe, StopsReadingPastFourMebibytes) {
    // 5 MiB of connections: only those wholly inside the first 4 MiB (plus the chunk
    // that crossed the line) can come back.
    const std::string element = ConnectionObject(1000000);
    const size_t total = (5u << 20) / (element.size() + 1);
    std::string body = R"({"connections":[)";
    for (size_t i = 0; i < total; ++i) {
        if (i) body += ",";
        body += ConnectionObject(1000000 + static_cast<int>(i));
    }
    body += "]}";
    FixedAnswerServer answer(HttpResponse(200, "OK", body));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample;
    ASSERT_TRUE(probe.poll(sample));
    const size_t within_cap = WinHttpFlowProbe::kBodyLimit / (element.size() + 1);
    EXPECT_LT(sample.connections.size(), total);
    EXPECT_GE(sample.connections.size(), within_cap - 1);
    EXPECT_LT(sample.connections.size(), within_cap + (1u << 20) / element.size());
    EXPECT_EQ(sample.connections.back().id, "c" + std::to_string(1000000 + sample.connections.size() - 1));
}

TEST(WinHttpFlowProbe, ConnectionsPastTheCapAreNeverSeen) {
    std::string body = R"({"padding":")" + std::string(5u << 20, 'x') + R"(","connections":[]})";
    FixedAnswerServer answer(HttpResponse(200, "OK", body));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample;
    EXPECT_FALSE(probe.poll(sample));
    EXPECT_EQ(probe.last_error(), 13u);
}

TEST(WinHttpFlowProbe, NothingListeningIsInvalidData) {
    std::uint16_t port = 0;
    {
        ScriptedTcpServer closed("127.0.0.1", 0, [](SOCKET) {});
        ASSERT_TRUE(closed.ok());
        port = closed.port();
    }
    WinHttpFlowProbe probe(port, kSecret);
    FlowSample sample = SampleWithOneConnection();
    EXPECT_FALSE(probe.poll(sample));
    EXPECT_EQ(probe.last_error(), 13u);
    EXPECT_EQ(sample.connections.size(), 1u);
}

// A proxy set for the whole machine must never see the bearer secret. (Under Wine only the
// default access type follows this setting; automatic detection has nothing to find here.)
TEST(WinHttpFlowProbe, GoesStraightToTheEngineWhateverProxyTheMachineHas) {
    FixedAnswerServer engine(HttpResponse(200, "OK", R"({"connections":[]})"));
    FixedAnswerServer proxy(HttpResponse(200, "OK", R"({"connections":[]})"));
    ASSERT_TRUE(engine.server.ok() && proxy.server.ok());
    std::wstring address = L"127.0.0.1:" + std::to_wstring(proxy.server.port());
    WINHTTP_PROXY_INFO named{WINHTTP_ACCESS_TYPE_NAMED_PROXY, address.data(), nullptr};
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&named)) << GetLastError();
    WinHttpFlowProbe probe(engine.server.port(), kSecret);
    FlowSample sample;
    const bool polled = probe.poll(sample);
    WINHTTP_PROXY_INFO none{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    WinHttpSetDefaultProxyConfiguration(&none);
    EXPECT_TRUE(polled);
    EXPECT_TRUE(proxy.heads.items().empty());
    EXPECT_EQ(engine.heads.items().size(), 1u);
}

TEST(WinHttpFlowProbe, EveryPollOpensAFreshConnection) {
    FixedAnswerServer answer(HttpResponse(200, "OK", R"({"connections":[]})"));
    ASSERT_TRUE(answer.server.ok());
    WinHttpFlowProbe probe(answer.server.port(), kSecret);
    FlowSample sample;
    ASSERT_TRUE(probe.poll(sample));
    ASSERT_TRUE(probe.poll(sample));
    EXPECT_EQ(answer.heads.items().size(), 2u);
}

}  // namespace
}  // namespace vantorel
