#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "tests/protocol/document_check.h"

namespace vantorel {
namespace {

struct FailCase {
    std::string name;
    std::string text;
    std::string error;
};

class ParseFailureTable : public ::testing::TestWithParam<FailCase> {};

TEST_P(ParseFailureTable, NamesTheFirstFailingStep) {
    BrokerCommand cmd;
    std::string error;
    EXPECT_FALSE(ParseBrokerCommand(GetParam().text, cmd, error));
    EXPECT_EQ(error, GetParam().error);
}

// Each row also breaks every later step, so only the step order can pick the expected name.
INSTANTIATE_TEST_SUITE_P(
    StepOrder, ParseFailureTable,
    ::testing::Values(
        FailCase{"config_outbounds", R"({"protocol_version":-1,"outbounds":[]})", "config"},
        FailCase{"config_inbounds", R"({"command":"connect","inbounds":[],"udp_direct":true})", "config"},
        FailCase{"config_in_uri_text", R"({"command":"connect","uri":"outbounds","udp_direct":true})", "config"},
        FailCase{"config_without_command", R"(x "inbounds" y)", "config"},
        FailCase{"command_absent", R"({"protocol_version":-1,"udp_direct":true})", "command"},
        FailCase{"command_not_string", R"({"command":3,"protocol_version":-1})", "command"},
        FailCase{"command_empty_text", "", "command"},
        FailCase{"protocol_version_quoted", R"({"command":"hello","protocol_version":"3","generation":-1})",
                 "protocol_version"},
        FailCase{"protocol_version_negative", R"({"command":"hello","protocol_version":-3,"generation":"x"})",
                 "protocol_version"},
        FailCase{"generation_negative", R"({"command":"prove","generation":-1,"message":5})", "generation"},
        FailCase{"generation_null", R"({"command":"prove","generation":null,"message":5})", "generation"},
        FailCase{"message_number", R"({"command":"prove","message":5,"direct_domains":"x"})", "message"},
        FailCase{"message_true", R"({"command":"prove","message":true,"direct_domains":"x"})", "message"},
        FailCase{"direct_domains_no_list", R"({"command":"connect","direct_domains":"x","force_proxy_domains":5})",
                 "direct_domains"},
        FailCase{"direct_domains_bad_entry",
                 R"({"command":"connect","direct_domains":["a.b",1],"force_proxy_domains":5})", "direct_domains"},
        FailCase{"force_proxy_domains_bad_entry",
                 R"({"command":"connect","force_proxy_domains":["a.b"	],"udp_direct":true})", "force_proxy_domains"},
        FailCase{"udp_direct_true", R"({"command":"connect","udp_direct":true})", "udp_direct"},
        FailCase{"udp_direct_quoted", R"({"command":"connect","udp_direct":"1"})", "udp_direct"}),
    [](const auto& info) { return info.param.name; });

TEST(ParseBrokerCommand, UnquotedWordOutboundsIsNoConfig) {
    BrokerCommand cmd;
    std::string error;
    EXPECT_TRUE(
        ParseBrokerCommand(R"({"command":"connect","uri":"vless://outbounds@x:1","message":"Outbounds"})", cmd, error));
    EXPECT_EQ(cmd.uri, "vless://outbounds@x:1");
}

TEST(ParseBrokerCommand, ReadsAFullConnectDocument) {
    nlohmann::ordered_json doc;
    doc["command"] = "connect";
    doc["protocol_version"] = 3;
    doc["uri"] = "hysteria2://pass@example.com:443/?sni=x#Имя";
    doc["direct_domains"] = {"bank.example", "..bad", "gov.example"};
    doc["force_proxy_domains"] = {"video.example"};
    doc["udp_direct"] = 1;
    BrokerCommand cmd;
    std::string error = "stale";
    ASSERT_TRUE(ParseBrokerCommand(doc.dump(), cmd, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(cmd.command, "connect");
    EXPECT_EQ(cmd.protocol_version, 3u);
    EXPECT_EQ(cmd.uri, "hysteria2://pass@example.com:443/?sni=x#Имя");
    EXPECT_EQ(cmd.direct_domains, (std::vector<std::string>{"bank.example", "gov.example"}));
    EXPECT_FALSE(cmd.direct_domains_truncated);
    EXPECT_EQ(cmd.force_proxy_domains, std::vector<std::string>{"video.example"});
    EXPECT_TRUE(cmd.udp_direct);
    EXPECT_EQ(cmd.generation, 0u);
    EXPECT_TRUE(cmd.message.empty());
}

struct FieldCase {
    std::string name;
    std::string text;
    std::uint32_t protocol_version;
    std::uint64_t generation;
    std::string message;
    std::string uri;
    bool udp_direct;
};

class ParseFieldTable : public ::testing::TestWithParam<FieldCase> {};

TEST_P(ParseFieldTable, StoresFields) {
    const auto& c = GetParam();
    BrokerCommand cmd;
    std::string error;
    ASSERT_TRUE(ParseBrokerCommand(c.text, cmd, error)) << error;
    EXPECT_EQ(cmd.protocol_version, c.protocol_version);
    EXPECT_EQ(cmd.generation, c.generation);
    EXPECT_EQ(cmd.message, c.message);
    EXPECT_EQ(cmd.uri, c.uri);
    EXPECT_EQ(cmd.udp_direct, c.udp_direct);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseFieldTable,
    ::testing::Values(
        FieldCase{"udp_one", R"({"command":"connect","udp_direct":1})", 0, 0, "", "", true},
        FieldCase{"udp_large", R"({"command":"connect","udp_direct":7})", 0, 0, "", "", true},
        FieldCase{"udp_zero", R"({"command":"connect","udp_direct":0})", 0, 0, "", "", false},
        FieldCase{"udp_absent", R"({"command":"connect"})", 0, 0, "", "", false},
        FieldCase{"version_low_bits", R"({"command":"hello","protocol_version":4294967299})", 3, 0, "", "", false},
        FieldCase{"version_two", R"({"command":"hello","protocol_version":2})", 2, 0, "", "", false},
        FieldCase{"generation_largest", R"({"command":"prove","generation":18446744073709551615})", 0,
                  18446744073709551615ull, "", "", false},
        FieldCase{"message_null", R"({"command":"prove","message":null})", 0, 0, "", "", false},
        FieldCase{"message_ok", R"({"command":"prove","generation":4,"message":"ok"})", 0, 4, "ok", "", false},
        FieldCase{"uri_failure_ignored", R"({"command":"connect","uri":5})", 0, 0, "", "", false},
        FieldCase{"uri_null", R"({"command":"connect","uri":null})", 0, 0, "", "", false},
        FieldCase{"keys_in_any_order", R"({"udp_direct":1,"uri":"u","command":"connect","protocol_version":3})", 3, 0,
                  "", "u", true}),
    [](const auto& info) { return info.param.name; });

std::string ListOf(int count) {
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < count; ++i) list.push_back("host" + std::to_string(i) + ".example");
    return list.dump();
}

TEST(ParseBrokerCommand, DomainListsStopAt512) {
    BrokerCommand cmd;
    std::string error;
    const std::string direct = R"({"command":"connect","direct_domains":)" + ListOf(600) + "}";
    ASSERT_TRUE(ParseBrokerCommand(direct, cmd, error));
    ASSERT_EQ(cmd.direct_domains.size(), kMaxDomainEntries);
    EXPECT_EQ(cmd.direct_domains.back(), "host511.example");
    EXPECT_TRUE(cmd.direct_domains_truncated);

    const std::string force = R"({"command":"connect","force_proxy_domains":)" + ListOf(600) + "}";
    ASSERT_TRUE(ParseBrokerCommand(force, cmd, error));
    EXPECT_EQ(cmd.force_proxy_domains.size(), kMaxDomainEntries);
    EXPECT_TRUE(cmd.direct_domains.empty());
    EXPECT_FALSE(cmd.direct_domains_truncated);

    const std::string exact = R"({"command":"connect","direct_domains":)" + ListOf(512) + "}";
    ASSERT_TRUE(ParseBrokerCommand(exact, cmd, error));
    EXPECT_EQ(cmd.direct_domains.size(), kMaxDomainEntries);
    EXPECT_FALSE(cmd.direct_domains_truncated);
}

TEST(ParseBrokerCommand, ReusedRecordKeepsNothingFromTheLastCommand) {
    BrokerCommand cmd;
    std::string error;
    ASSERT_TRUE(ParseBrokerCommand(
        R"({"command":"connect","protocol_version":3,"uri":"vless://u@h:1","generation":9,"message":"m",)"
        R"("direct_domains":["a.b"],"force_proxy_domains":["c.d"],"udp_direct":1})",
        cmd, error));
    ASSERT_EQ(cmd.force_proxy_domains.size(), 1u);

    for (const std::string& text : {std::string(kHelloCommand), std::string(R"({"command":"connect"})")}) {
        BrokerCommand reused = cmd;
        ASSERT_TRUE(ParseBrokerCommand(text, reused, error));
        EXPECT_TRUE(reused.uri.empty()) << text;
        EXPECT_TRUE(reused.message.empty());
        EXPECT_EQ(reused.generation, 0u);
        EXPECT_TRUE(reused.direct_domains.empty());
        EXPECT_TRUE(reused.force_proxy_domains.empty());
        EXPECT_FALSE(reused.udp_direct);
    }
    BrokerCommand again = cmd;
    ASSERT_TRUE(ParseBrokerCommand(R"({"command":"connect","force_proxy_domains":["e.f"]})", again, error));
    EXPECT_EQ(again.force_proxy_domains, std::vector<std::string>{"e.f"});
}

TEST(FixedCommands, HelloAndDisconnectAreExact) {
    const std::string hello = kHelloCommand;
    const std::string disconnect = kDisconnectCommand;
    EXPECT_EQ(hello.size(), 40u);
    EXPECT_EQ(disconnect.size(), 60u);
    const auto h = test::ParseDocument(hello);
    EXPECT_EQ(test::KeysOf(h), (std::vector<std::string>{"command", "protocol_version"}));
    EXPECT_EQ(h["command"], "hello");
    EXPECT_EQ(h["protocol_version"], kProtocolVersion);
    const auto d = test::ParseDocument(disconnect);
    EXPECT_EQ(test::KeysOf(d), (std::vector<std::string>{"command", "protocol_version", "generation"}));
    EXPECT_EQ(d["command"], "disconnect");
    EXPECT_EQ(d["generation"], 0);

    BrokerCommand cmd;
    std::string error;
    ASSERT_TRUE(ParseBrokerCommand(disconnect, cmd, error));
    EXPECT_EQ(cmd.command, "disconnect");
    EXPECT_EQ(cmd.protocol_version, kProtocolVersion);
}

struct ProveCase {
    long long generation;
    bool passed;
    std::string expected;
};

class ProveCommandTable : public ::testing::TestWithParam<ProveCase> {};

TEST_P(ProveCommandTable, WritesExactBytes) {
    const auto& c = GetParam();
    const std::string text = WriteProveCommand(c.generation, c.passed);
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(text.substr(0, 53), R"({"command":"prove","protocol_version":3,"generation":)");
    const auto doc = test::ParseDocument(text);
    EXPECT_EQ(test::KeysOf(doc), (std::vector<std::string>{"command", "protocol_version", "generation", "message"}));
    EXPECT_EQ(doc["generation"].get<long long>(), c.generation);
    EXPECT_EQ(doc["message"], c.passed ? "ok" : "fail");
    if (c.generation < 0) return;
    BrokerCommand cmd;
    std::string error;
    ASSERT_TRUE(ParseBrokerCommand(text, cmd, error));
    EXPECT_EQ(cmd.command, "prove");
    EXPECT_EQ(cmd.generation, static_cast<std::uint64_t>(c.generation));
    EXPECT_EQ(cmd.message, c.passed ? "ok" : "fail");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProveCommandTable,
    ::testing::Values(
        ProveCase{7, true, R"({"command":"prove","protocol_version":3,"generation":7,"message":"ok"})"},
        ProveCase{0, false, R"({"command":"prove","protocol_version":3,"generation":0,"message":"fail"})"},
        ProveCase{-3, true, R"({"command":"prove","protocol_version":3,"generation":-3,"message":"ok"})"},
        ProveCase{LLONG_MAX, false,
                  R"({"command":"prove","protocol_version":3,"generation":9223372036854775807,"message":"fail"})"}));

}  // namespace
}  // namespace vantorel
