#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "broker/portable/flow_response.h"

namespace vantorel {
namespace {

// The shape sing-box's clash API answers with (two connections, one direct UDP).
const std::string kRealisticBody = R"({"downloadTotal":1048576,"uploadTotal":65536,"connections":[
{"id":"6f1c1f0e-3b5a-4c53-9d63-0a7f5cbbf2c1","metadata":{"network":"tcp","type":"tun","sourceIP":"198.18.0.1",
"destinationIP":"93.184.216.34","sourcePort":"51234","destinationPort":"443","host":"example.org",
"dnsMode":"normal","processPath":""},"upload":1834,"download":58211,"start":"2026-12-08T00:00:01.123Z",
"chains":["proxy"],"rule":"final","rulePayload":""},
{"id":"0c8d5e3a-1111-4e2f-8a6b-9e0d3c2b1a00","metadata":{"network":"udp","type":"tun","sourceIP":"198.18.0.1",
"destinationIP":"192.168.1.20","sourcePort":"5353","destinationPort":"5353","host":"","dnsMode":"normal",
"processPath":"C:\\Program Files\\App\\app.exe"},"upload":120,"download":0,"start":"2026-12-08T00:00:02Z",
"chains":["direct"],"rule":"ip_cidr=[10.0.0.0/8 172.16.0.0/12 192.168.0.0/16]","rulePayload":""}],
"memory":31457280})";

TEST(FlowResponseTest, RealisticBody) {
    FlowSample sample;
    ASSERT_TRUE(ParseConnectionsResponse(kRealisticBody, sample));
    ASSERT_EQ(sample.connections.size(), 2u);
    EXPECT_EQ(sample.missing_ids, 0u);
    const FlowConnection& first = sample.connections[0];
    EXPECT_EQ(first.id, "6f1c1f0e-3b5a-4c53-9d63-0a7f5cbbf2c1");
    EXPECT_EQ(first.network, "tcp");
    EXPECT_EQ(first.chain, "proxy");
    EXPECT_EQ(first.destination, "example.org:443");
    EXPECT_EQ(first.process, "");
    EXPECT_EQ(first.upload, 1834u);
    EXPECT_EQ(first.download, 58211u);
    const FlowConnection& second = sample.connections[1];
    EXPECT_EQ(second.network, "udp");
    EXPECT_EQ(second.chain, "direct");
    EXPECT_EQ(second.destination, "192.168.1.20:5353");
    EXPECT_EQ(second.process, "app.exe");
    EXPECT_EQ(second.upload, 120u);
}

std::string Body(const std::string& connections) { return R"({"connections":[)" + connections + "]}"; }

std::string Connection(const std::string& members) { return "{" + members + "}"; }

const std::string kGood = R"("id":"a","chains":["proxy"],"metadata":{"host":"h","destinationPort":"1"})";

struct WalkCase {
    std::string name;
    std::string body;
    bool ok;
    std::vector<std::string> ids;
    std::uint64_t missing_ids;
};

class FlowWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(FlowWalkTest, AcceptsRejectsAndCounts) {
    FlowSample sample;
    sample.missing_ids = 99;
    sample.connections.push_back({"previous", "", "", "", "", 0, 0});
    const WalkCase& c = GetParam();
    ASSERT_EQ(ParseConnectionsResponse(c.body, sample), c.ok);
    if (!c.ok) {
        // A failed parse leaves the previous sample alone.
        ASSERT_EQ(sample.connections.size(), 1u);
        EXPECT_EQ(sample.connections[0].id, "previous");
        EXPECT_EQ(sample.missing_ids, 99u);
        return;
    }
    std::vector<std::string> ids;
    for (const FlowConnection& connection : sample.connections) ids.push_back(connection.id);
    EXPECT_EQ(ids, c.ids);
    EXPECT_EQ(sample.missing_ids, c.missing_ids);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, FlowWalkTest,
    ::testing::Values(WalkCase{"empty_array", R"({"connections": []})", true, {}, 0},
                      WalkCase{"null", R"({"connections":null})", false, {}, 0},
                      WalkCase{"object_instead_of_array", R"({"connections":{}})", false, {}, 0},
                      WalkCase{"no_connections_member", R"({"memory":1})", false, {}, 0},
                      WalkCase{"empty_object", "{}", false, {}, 0}, WalkCase{"empty_text", "", false, {}, 0},
                      WalkCase{"array_body", "[]", false, {}, 0},
                      WalkCase{"unauthorized_body", R"({"message":"Unauthorized"})", false, {}, 0},
                      WalkCase{"member_without_comma", R"({"memory":1 "connections":[]})", false, {}, 0},
                      WalkCase{"after_other_members",
                               R"({"downloadTotal":5,"extra":{"a":[1,{"b":null}]},"connections":[)" +
                                   Connection(kGood) + "]}",
                               true,
                               {"a"},
                               0},
                      WalkCase{"trailing_garbage_ignored", Body(Connection(kGood)) + "garbage", true, {"a"}, 0},
                      WalkCase{"no_chains_not_counted",
                               Body(Connection(R"("id":"x","metadata":{})") + "," + Connection(kGood)),
                               true,
                               {"a"},
                               0},
                      WalkCase{"empty_chains_not_counted",
                               Body(Connection(R"("id":"x","chains":[])") + "," + Connection(kGood)),
                               true,
                               {"a"},
                               0},
                      WalkCase{"missing_id_counted",
                               Body(Connection(R"("chains":["proxy"])") + "," +
                                    Connection(R"("id":"","chains":["d"])") + "," + Connection(kGood)),
                               true,
                               {"a"},
                               2},
                      WalkCase{"empty_element_skipped", Body("{}," + Connection(kGood)), true, {"a"}, 0},
                      WalkCase{"negative_upload_ends_array",
                               Body(Connection(kGood) + "," + Connection(R"("id":"b","chains":["p"],"upload":-1)") +
                                    "," + Connection(R"("id":"c","chains":["p"])")),
                               true,
                               {"a"},
                               0},
                      WalkCase{"numeric_port_ends_array",
                               Body(Connection(R"("id":"b","chains":["p"],"metadata":{"destinationPort":443})") + "," +
                                    Connection(kGood)),
                               true,
                               {},
                               0},
                      WalkCase{"numeric_chain_ends_array",
                               Body(Connection(R"("id":"b","chains":["p",1])") + "," + Connection(kGood)),
                               true,
                               {},
                               0},
                      WalkCase{"leading_comma_ends_array", Body("," + Connection(kGood)), true, {}, 0},
                      WalkCase{"number_element_ends_array", Body("1," + Connection(kGood)), true, {}, 0},
                      WalkCase{"trailing_comma_in_element",
                               Body(Connection(kGood) + "," + Connection(R"("id":"b","chains":["p"],)")),
                               true,
                               {"a"},
                               0},
                      WalkCase{"unterminated_array", R"({"connections":[)" + Connection(kGood), true, {"a"}, 0},
                      WalkCase{"whitespace_everywhere",
                               " \r\n{ \"connections\" :\t[ { \"id\" : \"w\" , \"chains\" : [ \"p\" ] } ] } ",
                               true,
                               {"w"},
                               0}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return info.param.name; });

FlowConnection OnlyConnection(const std::string& members) {
    FlowSample sample;
    EXPECT_TRUE(ParseConnectionsResponse(Body(Connection(members)), sample));
    EXPECT_EQ(sample.connections.size(), 1u);
    return sample.connections.empty() ? FlowConnection{} : sample.connections[0];
}

TEST(FlowConnectionTest, FieldsAreBuiltFromTheMembers) {
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["proxy","selector"])").chain, "selector");
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"metadata":{"host":"","destinationIP":"192.0.2.1",)"
                             R"("destinationPort":""})")
                  .destination,
              "192.0.2.1");
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"metadata":{"destinationPort":"53"})").destination, ":53");
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"metadata":{"processPath":"/usr/bin/curl"})").process, "curl");
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"metadata":{"processPath":"app.exe"})").process, "app.exe");
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"metadata":{"processPath":"C:\\dir/"})").process, "");
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"upload":1.5e3,"download":18446744073709551616)").upload, 1u);
    EXPECT_EQ(OnlyConnection(R"("id":"1","chains":["p"],"download":18446744073709551616)").download,
              18446744073709551615ULL);
    EXPECT_EQ(OnlyConnection(R"("id":"\u0041\n","chains":["p"])").id, "A\n");
}

TEST(FlowResponseTest, DeepNestingFailsWithoutCrashing) {
    const std::string deep_arrays(200000, '[');
    FlowSample sample;
    EXPECT_FALSE(ParseConnectionsResponse(R"({"other":)" + deep_arrays + R"(,"connections":[]})", sample));
    std::string nested_objects;
    for (int i = 0; i < 100000; ++i) nested_objects += R"({"a":)";
    EXPECT_FALSE(ParseConnectionsResponse(R"({"x":)" + nested_objects, sample));
    // Inside a connection, an unknown member nested too deeply ends the array; earlier ones stay.
    FlowSample inner;
    ASSERT_TRUE(ParseConnectionsResponse(
        Body(Connection(kGood) + "," + Connection(R"("id":"b","chains":["p"],"rule":)" + deep_arrays)), inner));
    ASSERT_EQ(inner.connections.size(), 1u);
    EXPECT_EQ(inner.connections[0].id, "a");
}

TEST(FlowResponseTest, ManyConnections) {
    std::string elements;
    for (int i = 0; i < 5000; ++i) {
        if (i) elements += ",";
        elements +=
            Connection(R"("id":"c)" + std::to_string(i) + R"(","chains":["proxy"],"upload":)" + std::to_string(i));
    }
    FlowSample sample;
    ASSERT_TRUE(ParseConnectionsResponse(Body(elements), sample));
    ASSERT_EQ(sample.connections.size(), 5000u);
    EXPECT_EQ(sample.connections[4999].id, "c4999");
    EXPECT_EQ(sample.connections[4999].upload, 4999u);
}

TEST(SanitizeFlowTextTest, DropsBreaksAndCuts) {
    EXPECT_EQ(sanitize_flow_text("a b\tc\n"), "a_bc");
    EXPECT_EQ(sanitize_flow_text("\r\n\t"), "");
    EXPECT_EQ(sanitize_flow_text(""), "");
    std::string long_text;
    for (int i = 0; i < 200; ++i) long_text.push_back(i % 3 == 0 ? ' ' : static_cast<char>('a' + i % 26));
    std::string expected;
    for (char ch : long_text) expected.push_back(ch == ' ' ? '_' : ch);
    EXPECT_EQ(sanitize_flow_text(long_text), expected.substr(0, 96));
    // Dropped bytes do not count towards the 96.
    EXPECT_EQ(sanitize_flow_text(std::string(50, '\n') + std::string(100, 'x')), std::string(96, 'x'));
    EXPECT_EQ(sanitize_flow_text("C:\\Program Files\\\xD0\x96.exe"), "C:\\Program_Files\\\xD0\x96.exe");
}

}  // namespace
}  // namespace vantorel
