#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "broker/engine/server_profile.h"
#include "protocol/codes.h"
#include "protocol/ascii_text.h"

namespace vantorel {
namespace {

const char kUuid[] = "0b3f1e6c-5d2a-4c8e-9f17-3a6b2d4e8c01";

struct LinkFailure {
    std::string link;
    std::string field;
};

void PrintTo(const LinkFailure& c, std::ostream* os) { *os << c.link; }

class LinkFailureTest : public ::testing::TestWithParam<LinkFailure> {};

TEST_P(LinkFailureTest, ReportsTheFirstFailingField) {
    ServerProfile profile;
    std::string field;
    EXPECT_FALSE(ParseServerProfile(GetParam().link, profile, field));
    EXPECT_EQ(field, GetParam().field);
    // The user is told which part is wrong (a bad port keeps the port's own code and text).
    if (field != "port") {
        EXPECT_NE(LinkRefusalMessage(field), MessageForCode(ErrorCode::invalid_link)) << field;
    }
}

#define PBK "MkkI0siiYaW-KvH1VEAhGtVvsMBAv88UevmVieg_Swo"
#define TLS "vless://u@h.example:443?security=tls&"
#define REALITY "vless://u@h.example:443?security=reality&pbk=" PBK "&"

INSTANTIATE_TEST_SUITE_P(
    Links, LinkFailureTest,
    ::testing::Values(
        LinkFailure{"trojan://pw@192.0.2.10:443", "scheme"}, LinkFailure{"://pw@192.0.2.10:443", "scheme"},
        LinkFailure{"192.0.2.10:443", "scheme"}, LinkFailure{"", "scheme"},
        LinkFailure{"vmess://pw@192.0.2.10", "scheme"}, LinkFailure{"hy3://pw@192.0.2.10", "scheme"},
        // A bad scheme wins over a bad port.
        LinkFailure{"trojan://pw@192.0.2.10:0", "scheme"}, LinkFailure{"vless://@192.0.2.10:443", "auth"},
        LinkFailure{"vless://192.0.2.10:443", "auth"}, LinkFailure{"vless://", "auth"},
        LinkFailure{"vless://#x@y", "auth"}, LinkFailure{"hy2://@192.0.2.10", "auth"},
        // The authority ends at the first '/', '?' or '#': an '@' after it is no user information.
        LinkFailure{"hy2://192.0.2.10/?x=a@b", "auth"}, LinkFailure{"hy2://h.example?sni=a@b", "auth"},
        LinkFailure{"vless://u@[192.0.2.10]:0", "host"}, LinkFailure{"vless://u@[2001:db8::1]:443", "ipv6"},
        LinkFailure{"vless://u@2001:db8::1", "ipv6"}, LinkFailure{"hy2://p@[2001:db8::1]/?insecure=1", "ipv6"},
        LinkFailure{"hy2://p@[2001:db8::1]:0", "ipv6"}, LinkFailure{"vless://u@[2001:db8::1", "host"},
        LinkFailure{"vless://u@:443", "host"}, LinkFailure{"vless://u@[]:443", "host"},
        LinkFailure{"vless://u@?sni=x", "host"}, LinkFailure{"vless://u@h%20x.example:443", "host"},
        LinkFailure{"vless://u@h x.example", "host"}, LinkFailure{"vless://u@192.0.2.10:0", "port"},
        LinkFailure{"vless://u@192.0.2.10:65536", "port"}, LinkFailure{"hy2://p@192.0.2.10:30000-20000", "port"},
        LinkFailure{"hy2://p@192.0.2.10?mport=1-2-3", "port"}, LinkFailure{"hy2://p@192.0.2.10:443,", "port"},
        // One VLESS server has one port: a range would silently lose all but its first.
        LinkFailure{"vless://u@192.0.2.10:443-445", "port"}, LinkFailure{"vless://u@192.0.2.10:443,8443", "port"},
        LinkFailure{"vless://u@192.0.2.10:443?mport=1000-2000", "port"},
        // The port is checked before the user information.
        LinkFailure{"vless://@192.0.2.10:99999", "port"}, LinkFailure{"hy2://p@h.example?insecure=yes", "insecure"},
        LinkFailure{"vless://u@h.example?allowInsecure=2", "insecure"}, LinkFailure{TLS "alpn=h2,,http%2F1.1", "alpn"},
        LinkFailure{"hy2://p@h.example?alpn=h3,", "alpn"},
        LinkFailure{"hy2://p@h.example?mportHopInt=30m", "mportHopInt"},
        LinkFailure{"hy2://p@h.example?mportHopInt=-5", "mportHopInt"},
        LinkFailure{"hy2://p@h.example?mportHopInt=s", "mportHopInt"},
        LinkFailure{"hy2://p@h.example?insecure=1&pinSHA256=deadbeef", "pinSHA256"},
        LinkFailure{"hy2://p@h.example?obfs=gecko&obfs-password=x", "obfs"},
        LinkFailure{"hy2://p@h.example?obfs=none", "obfs"}, LinkFailure{"hy2://p@h.example?obfs-password=x", "obfs"},
        LinkFailure{"hy2://p@h.example?obfs=salamander", "obfs-password"},
        LinkFailure{"hy2://p@h.example?obfs=salamander&obfs-password=", "obfs-password"},
        LinkFailure{"vless://u@h.example?encryption=mlkem768x25519plus.native.0rtt.abc", "encryption"},
        LinkFailure{"vless://u@h.example?encryption=auto", "encryption"},
        LinkFailure{"vless://u@h.example?security=xtls", "security"},
        LinkFailure{"vless://u@h.example?type=quic", "security"}, LinkFailure{REALITY "type=quic", "security"},
        LinkFailure{"vless://u@h.example?type=kcp", "type"},
        LinkFailure{"vless://u@h.example?type=xhttp&path=%2Fx", "type"},
        LinkFailure{"vless://u@h.example?type=splithttp", "type"},
        LinkFailure{"vless://u@h.example?type=tcp&headerType=http&host=a.example", "headerType"},
        LinkFailure{TLS "type=quic&headerType=srtp", "headerType"},
        LinkFailure{"vless://u@h.example?type=ws&path=%2F%3Fed%3Dx", "ed"},
        LinkFailure{"vless://u@h.example?type=ws&ed=2048&path=%2F%3Fed%3D1024", "ed"},
        LinkFailure{"vless://u@h.example?type=httpupgrade&path=%2Fu%3Fed%3D2048", "ed"},
        LinkFailure{"vless://u@h.example?type=httpupgrade&ed=2048", "ed"},
        LinkFailure{"vless://u@h.example?type=http&host=a.example,,b.example", "http-host"},
        LinkFailure{TLS "type=grpc&serviceName=%2Fa%2Fb%7Cc", "serviceName"},
        LinkFailure{TLS "type=grpc&serviceName=s&mode=multi", "mode"},
        LinkFailure{TLS "type=grpc&serviceName=s&authority=a.example", "authority"},
        LinkFailure{TLS "type=quic&quicSecurity=aes-128-gcm&key=k", "quicSecurity"},
        LinkFailure{TLS "type=quic&key=k", "quicSecurity"}, LinkFailure{TLS "flow=xtls-rprx-vision-udp443", "flow"},
        LinkFailure{TLS "flow=xtls-rprx-direct", "flow"},
        LinkFailure{"vless://u@h.example?flow=xtls-rprx-vision", "flow"},
        LinkFailure{TLS "type=ws&flow=xtls-rprx-vision", "flow"}, LinkFailure{TLS "fp=randomizednoalpn", "fp"},
        LinkFailure{TLS "fp=unsafe", "fp"}, LinkFailure{REALITY "fp=chrome%20", "fp"},
        LinkFailure{TLS "type=quic&fp=chrome", "fp"},
        LinkFailure{"vless://u@192.0.2.10:443?security=reality", "reality"},
        LinkFailure{"vless://u@192.0.2.10:443?security=Reality&pbk=", "reality"},
        LinkFailure{"vless://u@h.example?security=reality&pbk=Pk_aBc-123", "pbk"},
        LinkFailure{"vless://u@h.example?security=reality&pbk=" PBK "=", "pbk"},
        LinkFailure{"vless://u@h.example?security=reality&pbk=MkkI0siiYaW+KvH1VEAhGtVvsMBAv88UevmVieg/Swo", "pbk"},
        LinkFailure{REALITY "sid=abc", "sid"}, LinkFailure{REALITY "sid=0123456789abcdef01", "sid"},
        LinkFailure{REALITY "sid=zz", "sid"}, LinkFailure{REALITY "spx=%2Fsearch", "spx"},
        LinkFailure{REALITY "pqv=abc", "pqv"}, LinkFailure{TLS "ech=AEX%2B", "ech"}, LinkFailure{TLS "pcs=ab12", "pcs"},
        LinkFailure{TLS "vcn=a.example", "vcn"}, LinkFailure{TLS "packetEncoding=mux", "packetEncoding"}));

// A decoded text that is not UTF-8 cannot travel in the JSON configuration unchanged.
INSTANTIATE_TEST_SUITE_P(
    NotUtf8, LinkFailureTest,
    ::testing::Values(LinkFailure{"hy2://p%FFss@192.0.2.10:443", "encoding"},
                      LinkFailure{"vless://0b3f%C0%AF@192.0.2.10:443", "encoding"},  // overlong '/'
                      LinkFailure{"vless://u%ED%A0%80@192.0.2.10:443", "encoding"},  // a surrogate
                      LinkFailure{"hy2://p@192.0.2.10:443?obfs=salamander&obfs-password=%E2%82", "encoding"},
                      LinkFailure{"vless://u@192.0.2.10:443?sni=a%F5%80%80%80", "encoding"},
                      LinkFailure{"vless://u@192.0.2.10:443?security=tls&sni=%FE", "encoding"},
                      LinkFailure{"hy2://p@h\xff.example:443", "encoding"},
                      // The port still comes first.
                      LinkFailure{"hy2://p%FF@192.0.2.10:0", "port"}));

TEST(ServerProfileTest, Utf8TextIsAccepted) {
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(ParseServerProfile("hy2://%D0%BF%D0%B0%D1%80%F0%9F%94%91@192.0.2.10:443", profile, field)) << field;
    EXPECT_EQ(profile.password, "\xD0\xBF\xD0\xB0\xD1\x80\xF0\x9F\x94\x91");
}

TEST(ServerProfileTest, VlessRealityLinkWithSpacesCapitalsAndFragment) {
    const std::string link = std::string("  VLESS://") + kUuid +
                             "@192.0.2.10:443?type=tcp&security=REALITY&pbk=" PBK
                             "&sid=6ba85179e30d4fc2"
                             "#My%20Server\t\n";
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(ParseServerProfile(link, profile, field)) << field;
    EXPECT_EQ(profile.scheme, "vless");
    EXPECT_EQ(profile.host, "192.0.2.10");
    EXPECT_EQ(profile.port, 443);
    EXPECT_EQ(profile.uuid, kUuid);
    EXPECT_EQ(profile.security, "reality");
    EXPECT_EQ(profile.public_key, PBK);
    EXPECT_EQ(profile.short_id, "6ba85179e30d4fc2");
    EXPECT_EQ(profile.sni, "192.0.2.10");
    EXPECT_EQ(profile.fingerprint, "chrome");
    EXPECT_FALSE(profile.insecure);
    EXPECT_TRUE(profile.server_ports.empty());
    EXPECT_TRUE(profile.password.empty());
    EXPECT_TRUE(profile.flow.empty());
    EXPECT_EQ(profile.host.find('#'), std::string::npos);
    EXPECT_EQ(profile.short_id.find("My"), std::string::npos);
}

TEST(ServerProfileTest, VlessReadsEveryQueryParameter) {
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(
        ParseServerProfile("vless://a%40b@srv.example:8443?flow=xtls-rprx-vision&security=tls&fp=firefox"
                           "&sni=front.example&allowInsecure=1&pbk=k&sid=s&alpn=h2,%20http%2F1.1",
                           profile, field));
    EXPECT_EQ(profile.uuid, "a@b");
    EXPECT_EQ(profile.host, "srv.example");
    EXPECT_EQ(profile.port, 8443);
    EXPECT_EQ(profile.flow, "xtls-rprx-vision");
    EXPECT_EQ(profile.security, "tls");
    EXPECT_EQ(profile.fingerprint, "firefox");
    EXPECT_EQ(profile.sni, "front.example");
    EXPECT_TRUE(profile.insecure);
    EXPECT_EQ(profile.public_key, "k");
    EXPECT_EQ(profile.short_id, "s");
    EXPECT_EQ(profile.alpn, "h2,http/1.1");
    EXPECT_TRUE(profile.obfs.empty());
}

TEST(ServerProfileTest, Hy2AliasWithoutPort) {
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(ParseServerProfile("hy2://s3cr%3At@192.0.2.10", profile, field));
    EXPECT_EQ(profile.scheme, "hysteria2");
    EXPECT_EQ(profile.port, 443);
    EXPECT_EQ(profile.password, "s3cr:t");
    EXPECT_TRUE(profile.uuid.empty());
    EXPECT_EQ(profile.fingerprint, "");
}

struct PasswordCase {
    std::string user_info;
    std::string password;
};

void PrintTo(const PasswordCase& c, std::ostream* os) { *os << c.user_info; }

class HysteriaPasswordTest : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(HysteriaPasswordTest, UserInformationBecomesThePassword) {
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(ParseServerProfile("hysteria2://" + GetParam().user_info + "@h.example:443", profile, field));
    EXPECT_EQ(profile.password, GetParam().password);
}

INSTANTIATE_TEST_SUITE_P(Passwords, HysteriaPasswordTest,
                         ::testing::Values(PasswordCase{"user:", "user"}, PasswordCase{"user:pass", "user:pass"},
                                           PasswordCase{"user:pa:ss", "user:pa:ss"}, PasswordCase{"solo", "solo"},
                                           PasswordCase{"a%2Bb+c", "a+b+c"}, PasswordCase{":x", ":x"}));

TEST(ServerProfileTest, HysteriaPortHoppingAndObfs) {
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(ParseServerProfile(
        "hysteria2://pw@192.0.2.10:443/?mport=20000-30000&mportHopInt=30&obfs=salamander&obfs-password=ob%26fs",
        profile, field));
    EXPECT_EQ(profile.port, 20000);
    EXPECT_EQ(profile.server_ports, "20000:30000");
    EXPECT_EQ(profile.hop_interval, "30s");
    EXPECT_EQ(profile.obfs, "salamander");
    EXPECT_EQ(profile.obfs_password, "ob&fs");
}

struct HopCase {
    std::string value;
    std::string hop_interval;
};

void PrintTo(const HopCase& c, std::ostream* os) { *os << c.value; }

class HopIntervalTest : public ::testing::TestWithParam<HopCase> {};

TEST_P(HopIntervalTest, SecondsWithOrWithoutTheUnit) {
    ServerProfile profile;
    std::string field;
    ASSERT_TRUE(ParseServerProfile("hy2://pw@192.0.2.10:443?mportHopInt=" + GetParam().value, profile, field));
    EXPECT_EQ(profile.hop_interval, GetParam().hop_interval);
}

INSTANTIATE_TEST_SUITE_P(Hops, HopIntervalTest,
                         ::testing::Values(HopCase{"30", "30s"}, HopCase{"0", "0s"}, HopCase{"30s", "30s"},
                                           HopCase{"", ""}, HopCase{"1%30", "10s"},
                                           // The engine's longest interval passes; more is clamped to it.
                                           HopCase{"9223372036", "9223372036s"},
                                           HopCase{"0009223372036", "0009223372036s"},
                                           HopCase{"9223372037", "9223372036s"}, HopCase{"999999999999", "9223372036s"},
                                           HopCase{"0000000000010000000000", "9223372036s"},
                                           HopCase{std::string(400, '9'), "9223372036s"}));

TEST(ServerProfileTest, PortFailureKeepsTheCutPortTextOnly) {
    ServerProfile profile;
    std::string field;
    const std::string long_port(40, '9');
    EXPECT_FALSE(ParseServerProfile("vless://secret-uuid@192.0.2.10:" + long_port + "/path", profile, field));
    EXPECT_EQ(field, "port");
    EXPECT_EQ(profile.server_ports, long_port.substr(0, 32));
    EXPECT_TRUE(profile.uuid.empty());
}

TEST(ServerProfileTest, InsecureAcceptsOneTrueAndTheirNegations) {
    const std::vector<std::pair<std::string, bool>> cases = {{"insecure=1", true},
                                                             {"allowInsecure=1", true},
                                                             {"insecure=true", true},
                                                             {"allowInsecure=TRUE", true},
                                                             {"insecure=0&allowInsecure=1", true},
                                                             {"insecure=false", false},
                                                             {"insecure=0", false},
                                                             {"insecure=", false},
                                                             {"Insecure=yes", false}};
    for (const auto& [query, expected] : cases) {
        ServerProfile profile;
        std::string field;
        ASSERT_TRUE(ParseServerProfile("hy2://pw@192.0.2.10?" + query, profile, field)) << query;
        EXPECT_EQ(profile.insecure, expected) << query;
    }
}

TEST(ServerProfileTest, SniComesFromTheFirstDecodedMatchOrTheHost) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"sni=a%2Eb&sni=c", "a.b"}, {"sni=%zz", "%zz"},     {"sni=a+b", "a+b"},   {"sni=", "h.example"},
        {"s%6Ei=x", "x"},           {"SNI=x", "h.example"}, {"sni", "h.example"}, {"&&sni=y&", "y"}};
    for (const auto& [query, sni] : cases) {
        ServerProfile profile;
        std::string field;
        ASSERT_TRUE(ParseServerProfile("vless://u@h.example?" + query, profile, field)) << query;
        EXPECT_EQ(profile.sni, sni) << query;
    }
}

struct PortSpecCase {
    std::string text;
    bool ok;
    int port;
    std::string server_ports;
};

void PrintTo(const PortSpecCase& c, std::ostream* os) { *os << c.text; }

class PortSpecTest : public ::testing::TestWithParam<PortSpecCase> {};

TEST_P(PortSpecTest, ParsesOrKeepsTheCutText) {
    ServerProfile profile;
    profile.port = 7;
    profile.server_ports = "stale";
    std::string field;
    const PortSpecCase& c = GetParam();
    EXPECT_EQ(ParsePortSpec(c.text, profile, field), c.ok) << c.text;
    if (c.ok) {
        EXPECT_EQ(profile.port, c.port);
        EXPECT_TRUE(field.empty());
    } else {
        EXPECT_EQ(field, "port");
    }
    EXPECT_EQ(profile.server_ports, c.server_ports);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortSpecTest,
    ::testing::Values(
        PortSpecCase{"443/", true, 443, ""}, PortSpecCase{"", true, 443, ""}, PortSpecCase{"/x", true, 443, ""},
        PortSpecCase{"8443?a=b", true, 8443, ""}, PortSpecCase{"00443", true, 443, ""},
        PortSpecCase{"65535", true, 65535, ""}, PortSpecCase{"0", false, 0, "0"},
        PortSpecCase{"65536", false, 0, "65536"}, PortSpecCase{"20000-30000", true, 20000, "20000:30000"},
        PortSpecCase{"20000:30000", true, 20000, "20000:30000"}, PortSpecCase{"0443-0444", true, 443, "443:444"},
        PortSpecCase{"20000-20000", true, 20000, "20000:20000"}, PortSpecCase{"30000-20000", false, 0, "30000-20000"},
        PortSpecCase{"1-2-3", false, 0, "1-2-3"}, PortSpecCase{"1:2:3", false, 0, "1:2:3"},
        PortSpecCase{"1:2-3", false, 0, "1:2-3"}, PortSpecCase{"443,8443", true, 443, "443:443,8443:8443"},
        PortSpecCase{"123,5000-6000", true, 123, "123:123,5000:6000"},
        PortSpecCase{"7000-7010,443", true, 7000, "7000:7010,443:443"}, PortSpecCase{"443,", false, 0, "443,"},
        PortSpecCase{",443", false, 0, ",443"}, PortSpecCase{"443,0", false, 0, "443,0"},
        PortSpecCase{"-443", false, 0, "-443"}, PortSpecCase{"443-", false, 0, "443-"},
        PortSpecCase{" 443", false, 0, " 443"}, PortSpecCase{"+443", false, 0, "+443"},
        PortSpecCase{"1-65536", false, 0, "1-65536"}, PortSpecCase{"123456", false, 0, "123456"},
        PortSpecCase{"1234567890123456789012345678901234567890#frag", false, 0, "12345678901234567890123456789012"}));

struct PortNumberCase {
    std::string text;
    bool ok;
    int value;
};

void PrintTo(const PortNumberCase& c, std::ostream* os) { *os << c.text; }

class PortNumberTest : public ::testing::TestWithParam<PortNumberCase> {};

TEST_P(PortNumberTest, OneToFiveDigitsInRange) {
    int value = -1;
    EXPECT_EQ(ParsePortNumber(GetParam().text, value), GetParam().ok) << GetParam().text;
    EXPECT_EQ(value, GetParam().ok ? GetParam().value : -1);
}

INSTANTIATE_TEST_SUITE_P(Numbers, PortNumberTest,
                         ::testing::Values(PortNumberCase{"1", true, 1}, PortNumberCase{"00001", true, 1},
                                           PortNumberCase{"000001", false, 0}, PortNumberCase{"99999", false, 0},
                                           PortNumberCase{"", false, 0}, PortNumberCase{"0", false, 0},
                                           PortNumberCase{"00000", false, 0}, PortNumberCase{"4a", false, 0},
                                           PortNumberCase{"-1", false, 0}, PortNumberCase{"65535", true, 65535}));

TEST(TextHelpersTest, PercentDecodeAndAsciiLower) {
    const std::vector<std::pair<std::string, std::string>> decode = {{"a%41b", "aAb"},
                                                                     {"%2f%2F", "//"},
                                                                     {"%zz", "%zz"},
                                                                     {"%4", "%4"},
                                                                     {"%", "%"},
                                                                     {"a+b", "a+b"},
                                                                     {"%%41", "%A"},
                                                                     {"%00x", std::string("\0x", 2)},
                                                                     {"%D0%96", "\xD0\x96"},
                                                                     {"100%", "100%"}};
    for (const auto& [in, out] : decode) EXPECT_EQ(PercentDecode(in), out) << in;
    EXPECT_EQ(AsciiLower("AbC-\xD0\x96Z"), "abc-\xD0\x96z");
}

TEST(TextHelpersTest, QueryParamMatchesDecodedKeysExactly) {
    EXPECT_EQ(QueryParam("a=1&b=2&a=3", "a"), "1");
    EXPECT_EQ(QueryParam("a&a=2", "a"), "2");
    EXPECT_EQ(QueryParam("a=&a=2", "a"), "");
    EXPECT_EQ(QueryParam("x=1", "a"), "");
    EXPECT_EQ(QueryParam("", "a"), "");
    EXPECT_EQ(QueryParam("a=b=c", "a"), "b=c");
    EXPECT_EQ(QueryParam("obfs-password=p&obfs=o", "obfs"), "o");
}

}  // namespace
}  // namespace vantorel
