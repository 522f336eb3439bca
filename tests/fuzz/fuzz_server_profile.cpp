// A pasted link through ParseServerProfile and into the engine configuration, which an
// independent parser (nlohmann::json, strict about UTF-8) must read back field for field. A link
// is either refused naming the part at fault, or every setting it was read with is in the
// configuration within the rules the engine itself applies when it starts (sing-box 1.12/1.13).
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "broker/engine/engine_config.h"
#include "broker/engine/server_profile.h"
#include "fuzz_check.h"
#include "protocol/codes.h"
#include "protocol/json_writer.h"

using namespace vantorel;
using nlohmann::json;

namespace {

void CheckText(const std::string& doc, const json& value, const std::string& expected, const char* what) {
    FUZZ_CHECK(value.is_string(), what);
    FUZZ_CHECK(value.get<std::string>() == expected, what);
    // Present in the document escaped, never raw.
    FUZZ_CHECK(doc.find("\"" + JsonEscape(expected) + "\"") != std::string::npos, what);
}

bool AllOf(const std::string& text, const char* allowed) {
    return text.find_first_not_of(allowed) == std::string::npos;
}

// The engine's own checks, written out again here: uTLS names, the Reality key and short id.
bool EngineKnowsFingerprint(const std::string& fp) {
    static const std::set<std::string> kNames = {"chrome",
                                                 "firefox",
                                                 "edge",
                                                 "safari",
                                                 "360",
                                                 "qq",
                                                 "ios",
                                                 "android",
                                                 "random",
                                                 "randomized",
                                                 "chrome_psk",
                                                 "chrome_psk_shuffle",
                                                 "chrome_padding_psk_shuffle",
                                                 "chrome_pq",
                                                 "chrome_pq_psk"};
    return kNames.count(fp) == 1;
}

const char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
const char kHex[] = "0123456789abcdefABCDEF";

void CheckList(const json& value, const std::string& joined, const char* what) {
    FUZZ_CHECK(value.is_array() && !value.empty(), what);
    std::string rejoined;
    for (const json& item : value) {
        FUZZ_CHECK(item.is_string() && !item.get<std::string>().empty(), what);
        rejoined += (rejoined.empty() ? "" : ",") + item.get<std::string>();
    }
    FUZZ_CHECK(rejoined == joined, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string link(reinterpret_cast<const char*>(data), size);
    ServerProfile profile;
    std::string field;
    if (!ParseServerProfile(link, profile, field)) {
        if (field == "port") {
            FUZZ_CHECK(profile.server_ports.size() <= 32, "a port text over 32 bytes");
        } else {
            // Every refusal tells the user which part of the link is wrong.
            FUZZ_CHECK(LinkRefusalMessage(field) != MessageForCode(ErrorCode::invalid_link),
                       "a field without a message");
        }
        return 0;
    }
    FUZZ_CHECK(profile.scheme == "vless" || profile.scheme == "hysteria2", "an unknown scheme accepted");
    FUZZ_CHECK(profile.port >= 1 && profile.port <= 65535, "a port out of range");
    FUZZ_CHECK(!profile.host.empty() && profile.host.find(':') == std::string::npos, "a bad host accepted");

    const std::string doc = BuildEngineConfig(profile, "192.0.2.10", {"example.com", "bad name"}, {"proxy.example"},
                                              true, 9090, "s3cret-api");
    FUZZ_CHECK(!doc.empty(), "no configuration for an accepted profile");
    const json parsed = json::parse(doc, nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded(), "the configuration is not valid UTF-8 JSON");
    FUZZ_CHECK(parsed["outbounds"].is_array() && parsed["outbounds"].size() == 2, "outbounds");
    const json& out = parsed["outbounds"][0];
    FUZZ_CHECK(out["tag"] == "proxy" && out["server"] == "192.0.2.10", "the proxy outbound");
    FUZZ_CHECK(out["server_port"] == profile.port, "server_port");
    FUZZ_CHECK(parsed["experimental"]["clash_api"]["secret"] == "s3cret-api", "the API secret");
    // A VLESS link without security (or "none") names a plain server: no TLS member at all.
    const bool plain_vless = profile.scheme == "vless" && (profile.security.empty() || profile.security == "none");
    FUZZ_CHECK(out.contains("tls") != plain_vless, "a TLS member where the link asks for none, or none where it does");
    if (!plain_vless) CheckText(doc, out["tls"]["server_name"], profile.sni, "server_name");
    if (!plain_vless && !profile.alpn.empty()) CheckList(out["tls"]["alpn"], profile.alpn, "alpn");
    if (!plain_vless) FUZZ_CHECK(out["tls"]["insecure"] == profile.insecure, "insecure");
    if (profile.scheme == "hysteria2") {
        FUZZ_CHECK(out["type"] == "hysteria2", "type");
        CheckText(doc, out["password"], profile.password, "password");
        if (out.contains("obfs")) {
            FUZZ_CHECK(out["obfs"]["type"] == "salamander", "an obfs the engine does not know");
            FUZZ_CHECK(!out["obfs"]["password"].get<std::string>().empty(), "salamander without a password");
            CheckText(doc, out["obfs"]["password"], profile.obfs_password, "obfs password");
        } else {
            FUZZ_CHECK(profile.obfs.empty() && profile.obfs_password.empty(), "an obfs setting dropped");
        }
        if (!profile.server_ports.empty()) {
            CheckList(out["server_ports"], profile.server_ports, "ports");
            for (const json& range : out["server_ports"]) {
                const std::string text = range.get<std::string>();
                const std::size_t colon = text.find(':');
                FUZZ_CHECK(colon != std::string::npos && AllOf(text.substr(0, colon), "0123456789") &&
                               AllOf(text.substr(colon + 1), "0123456789"),
                           "a port range the engine cannot read");
                FUZZ_CHECK(std::stol(text.substr(0, colon)) <= std::stol(text.substr(colon + 1)) &&
                               std::stol(text.substr(colon + 1)) <= 65535,
                           "a port range out of order");
            }
        }
        if (!profile.hop_interval.empty()) CheckText(doc, out["hop_interval"], profile.hop_interval, "hop");
    } else {
        FUZZ_CHECK(out["type"] == "vless", "type");
        FUZZ_CHECK(profile.server_ports.empty(), "a VLESS port range cut to its first port");
        CheckText(doc, out["uuid"], profile.uuid, "uuid");
        FUZZ_CHECK(profile.flow.empty() || profile.flow == "xtls-rprx-vision", "a flow the engine refuses");
        if (!profile.flow.empty()) {
            CheckText(doc, out["flow"], profile.flow, "flow");
            FUZZ_CHECK(!plain_vless && !out.contains("transport"), "Vision without TLS or over a transport");
        }
        FUZZ_CHECK(out.contains("packet_encoding") == profile.packet_encoding_set, "packet encoding dropped");
        if (profile.packet_encoding_set) {
            static const std::set<std::string> kEncodings = {"", "packetaddr", "xudp"};
            FUZZ_CHECK(kEncodings.count(out["packet_encoding"].get<std::string>()) == 1,
                       "a packet encoding the engine refuses");
        }
        const std::string transport = out.contains("transport") ? out["transport"]["type"].get<std::string>() : "";
        FUZZ_CHECK(transport == profile.transport, "transport");
        static const std::set<std::string> kTransports = {"", "ws", "grpc", "http", "httpupgrade", "quic"};
        FUZZ_CHECK(kTransports.count(transport) == 1, "a transport the engine does not know");
        if (!plain_vless) {
            const json& tls = out["tls"];
            if (tls.contains("utls")) {
                CheckText(doc, tls["utls"]["fingerprint"], profile.fingerprint, "fingerprint");
                FUZZ_CHECK(EngineKnowsFingerprint(profile.fingerprint), "a fingerprint the engine refuses");
            }
            // uTLS cannot run a QUIC handshake; Reality needs uTLS.
            FUZZ_CHECK(tls.contains("utls") != (transport == "quic"), "uTLS and QUIC");
            if (profile.security == "reality") {
                CheckText(doc, tls["reality"]["public_key"], profile.public_key, "public_key");
                CheckText(doc, tls["reality"]["short_id"], profile.short_id, "short_id");
                FUZZ_CHECK(profile.public_key.size() == 43 && AllOf(profile.public_key, kBase64Url),
                           "a Reality key that is not 32 bytes of base64url");
                FUZZ_CHECK(
                    profile.short_id.size() % 2 == 0 && profile.short_id.size() <= 16 && AllOf(profile.short_id, kHex),
                    "a short id the engine refuses");
            } else {
                FUZZ_CHECK(!tls.contains("reality"), "reality without security=reality");
            }
        } else {
            FUZZ_CHECK(transport != "quic", "QUIC without TLS");
        }
        if (!transport.empty()) {
            const json& t = out["transport"];
            if (!profile.path.empty()) CheckText(doc, t["path"], profile.path, "path");
            if (transport == "ws" && !profile.host_header.empty()) {
                CheckText(doc, t["headers"]["Host"], profile.host_header, "ws host");
            }
            if (transport == "httpupgrade" && !profile.host_header.empty()) {
                CheckText(doc, t["host"], profile.host_header, "httpupgrade host");
            }
            if (transport == "http" && !profile.host_header.empty()) CheckList(t["host"], profile.host_header, "hosts");
            if (transport == "grpc" && !profile.service_name.empty()) {
                CheckText(doc, t["service_name"], profile.service_name, "service_name");
            }
            FUZZ_CHECK(t.value("max_early_data", 0u) == profile.max_early_data, "early data");
            if (profile.max_early_data != 0) {
                FUZZ_CHECK(t["early_data_header_name"] == "Sec-WebSocket-Protocol", "early data header");
            }
        }
    }
    // Only valid domain names become rules.
    for (const json& rule : parsed["route"]["rules"]) {
        if (rule.contains("domain_suffix")) FUZZ_CHECK(rule["domain_suffix"][0] != "bad name", "a bad name ruled");
    }
    return 0;
}
