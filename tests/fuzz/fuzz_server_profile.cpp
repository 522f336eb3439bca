// A pasted link through ParseServerProfile and into the engine configuration, which an
// independent parser (nlohmann::json, strict about UTF-8) must read back field for field.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "broker/engine/engine_config.h"
#include "broker/engine/server_profile.h"
#include "fuzz_check.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string link(reinterpret_cast<const char*>(data), size);
    ServerProfile profile;
    std::string field;
    if (!ParseServerProfile(link, profile, field)) {
        static const std::set<std::string> kFields = {"scheme", "auth", "host", "ipv6", "port", "reality", "encoding"};
        FUZZ_CHECK(kFields.count(field) == 1, "an unknown error field");
        if (field == "port") FUZZ_CHECK(profile.server_ports.size() <= 32, "a port text over 32 bytes");
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
    if (profile.scheme == "hysteria2") {
        FUZZ_CHECK(out["type"] == "hysteria2", "type");
        CheckText(doc, out["password"], profile.password, "password");
        if (AsciiLower(profile.obfs) == "salamander") {
            CheckText(doc, out["obfs"]["password"], profile.obfs_password, "obfs password");
        } else {
            FUZZ_CHECK(!out.contains("obfs"), "obfs without salamander");
        }
        if (!profile.server_ports.empty()) CheckText(doc, out["server_ports"][0], profile.server_ports, "ports");
        if (!profile.hop_interval.empty()) CheckText(doc, out["hop_interval"], profile.hop_interval, "hop");
    } else {
        FUZZ_CHECK(out["type"] == "vless", "type");
        CheckText(doc, out["uuid"], profile.uuid, "uuid");
        if (!profile.flow.empty()) CheckText(doc, out["flow"], profile.flow, "flow");
        if (!plain_vless) CheckText(doc, out["tls"]["utls"]["fingerprint"], profile.fingerprint, "fingerprint");
        if (profile.security == "reality") {
            CheckText(doc, out["tls"]["reality"]["public_key"], profile.public_key, "public_key");
            CheckText(doc, out["tls"]["reality"]["short_id"], profile.short_id, "short_id");
        }
    }
    // Only valid domain names become rules.
    for (const json& rule : parsed["route"]["rules"]) {
        if (rule.contains("domain_suffix")) FUZZ_CHECK(rule["domain_suffix"][0] != "bad name", "a bad name ruled");
    }
    return 0;
}
