#include "broker/engine/engine_config.h"

#include <string>

#include "protocol/json_scan.h"
#include "protocol/json_writer.h"
#include "protocol/ascii_text.h"

namespace vantorel {
namespace {

const char* BoolText(bool value) { return value ? "true" : "false"; }

// A JSON array of strings from a ','-joined list.
std::string JsonList(const std::string& joined) {
    std::string out = "[";
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = joined.find(',', start);
        out += (start == 0 ? "\"" : ",\"") +
               JsonEscape(joined.substr(start, comma == std::string::npos ? comma : comma - start)) + "\"";
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out + "]";
}

// The TLS members every TLS outbound shares, without the closing brace.
std::string TlsHead(const ServerProfile& profile) {
    std::string out = ",\"tls\":{\"enabled\":true,\"server_name\":\"" + JsonEscape(profile.sni) +
                      "\",\"insecure\":" + BoolText(profile.insecure);
    if (!profile.alpn.empty()) out += ",\"alpn\":" + JsonList(profile.alpn);
    return out;
}

std::string BuildHysteriaOutbound(const ServerProfile& profile, const std::string& server) {
    std::string out;
    out += "{\"type\":\"hysteria2\",\"tag\":\"proxy\",\"server\":\"" + JsonEscape(server) +
           "\",\"server_port\":" + std::to_string(profile.port);
    if (!profile.server_ports.empty()) out += ",\"server_ports\":" + JsonList(profile.server_ports);
    if (!profile.hop_interval.empty()) {
        out += ",\"hop_interval\":\"" + JsonEscape(profile.hop_interval) + "\"";
    }
    out += ",\"password\":\"" + JsonEscape(profile.password) + "\"";
    if (AsciiLower(profile.obfs) == "salamander") {
        out += ",\"obfs\":{\"type\":\"salamander\",\"password\":\"" + JsonEscape(profile.obfs_password) + "\"}";
    }
    out += TlsHead(profile) + "}}";
    return out;
}

bool IsPlainVless(const ServerProfile& profile) { return profile.security.empty() || profile.security == "none"; }

std::string BuildTransport(const ServerProfile& profile) {
    const std::string& type = profile.transport;
    std::string out = ",\"transport\":{\"type\":\"" + JsonEscape(type) + "\"";
    if (type == "ws") {
        if (!profile.path.empty()) out += ",\"path\":\"" + JsonEscape(profile.path) + "\"";
        if (!profile.host_header.empty()) {
            out += ",\"headers\":{\"Host\":\"" + JsonEscape(profile.host_header) + "\"}";
        }
        if (profile.max_early_data != 0) {
            // Xray's links carry early data in this header; the engine's default is the path.
            out += ",\"max_early_data\":" + std::to_string(profile.max_early_data) +
                   ",\"early_data_header_name\":\"Sec-WebSocket-Protocol\"";
        }
    } else if (type == "http") {
        if (!profile.host_header.empty()) out += ",\"host\":" + JsonList(profile.host_header);
        if (!profile.path.empty()) out += ",\"path\":\"" + JsonEscape(profile.path) + "\"";
    } else if (type == "httpupgrade") {
        if (!profile.host_header.empty()) out += ",\"host\":\"" + JsonEscape(profile.host_header) + "\"";
        if (!profile.path.empty()) out += ",\"path\":\"" + JsonEscape(profile.path) + "\"";
    } else if (type == "grpc") {
        if (!profile.service_name.empty()) {
            out += ",\"service_name\":\"" + JsonEscape(profile.service_name) + "\"";
        }
    }
    return out + "}";
}

std::string BuildVlessOutbound(const ServerProfile& profile, const std::string& server) {
    std::string out;
    out += "{\"type\":\"vless\",\"tag\":\"proxy\",\"server\":\"" + JsonEscape(server) +
           "\",\"server_port\":" + std::to_string(profile.port) + ",\"uuid\":\"" + JsonEscape(profile.uuid) + "\"";
    if (!profile.flow.empty()) out += ",\"flow\":\"" + JsonEscape(profile.flow) + "\"";
    if (profile.packet_encoding_set) {
        out += ",\"packet_encoding\":\"" + JsonEscape(profile.packet_encoding) + "\"";
    }
    // A link without security (or "none") names a plain VLESS server: TLS towards it could never
    // complete a handshake, so the session would only ever fail its egress check.
    if (!IsPlainVless(profile)) {
        out += TlsHead(profile);
        if (!profile.fingerprint.empty()) {
            out += ",\"utls\":{\"enabled\":true,\"fingerprint\":\"" + JsonEscape(profile.fingerprint) + "\"}";
        }
        if (profile.security == "reality") {
            out += ",\"reality\":{\"enabled\":true,\"public_key\":\"" + JsonEscape(profile.public_key) +
                   "\",\"short_id\":\"" + JsonEscape(profile.short_id) + "\"}";
        }
        out += "}";
    }
    if (!profile.transport.empty()) out += BuildTransport(profile);
    return out + "}";
}

void AppendDomainRules(const std::vector<std::string>& domains, const char* outbound, std::string& rules) {
    for (const std::string& domain : domains) {
        // Only names made of letters, digits, '-', '.', '_' reach the document, so no entry can break it.
        if (!IsValidDomainName(domain)) continue;
        rules += ",{\"domain_suffix\":[\"" + JsonEscape(domain) + "\"],\"outbound\":\"" + outbound + "\"}";
    }
}

std::string BuildRuleList(const std::vector<std::string>& direct_domains,
                          const std::vector<std::string>& force_proxy_domains, bool udp_direct) {
    std::string rules =
        "{\"action\":\"sniff\"},{\"protocol\":\"dns\",\"action\":\"hijack-dns\"},"
        "{\"ip_cidr\":[\"10.0.0.0/8\",\"172.16.0.0/12\",\"192.168.0.0/16\",\"127.0.0.0/8\",\"fc00::/7\","
        "\"fe80::/10\"],\"outbound\":\"direct\"}";
    AppendDomainRules(force_proxy_domains, "proxy", rules);
    AppendDomainRules(direct_domains, "direct", rules);
    if (udp_direct) rules += ",{\"network\":\"udp\",\"outbound\":\"direct\"}";
    return rules;
}

std::string BuildExperimental(unsigned short api_port, const std::string& api_secret) {
    if (api_port == 0) return "\"cache_file\":{\"enabled\":false}";
    return "\"clash_api\":{\"external_controller\":\"127.0.0.1:" + std::to_string(api_port) + "\",\"secret\":\"" +
           JsonEscape(api_secret) + "\"}";
}

}  // namespace

std::string BuildProxyOutbound(const ServerProfile& profile, const std::string& server) {
    if (server.empty() || server.find(':') != std::string::npos) return {};
    if (profile.scheme == "hysteria2") return BuildHysteriaOutbound(profile, server);
    return BuildVlessOutbound(profile, server);
}

std::string BuildEngineConfig(const ServerProfile& profile, const std::string& server,
                              const std::vector<std::string>& direct_domains,
                              const std::vector<std::string>& force_proxy_domains, bool udp_direct,
                              unsigned short api_port, const std::string& api_secret) {
    const std::string outbound = BuildProxyOutbound(profile, server);
    if (outbound.empty()) return {};
    const std::string rules = BuildRuleList(direct_domains, force_proxy_domains, udp_direct);

    std::string doc;
    doc += "{";
    // warn: the lines the broker reads (ERROR, FATAL) without the four INFO lines per connection
    // the engine would otherwise write, synchronously, for every connection it carries.
    doc += "\"log\":{\"level\":\"warn\"},";
    doc += "\"dns\":{\"servers\":[{\"type\":\"udp\",\"tag\":\"remote\",\"server\":\"1.1.1.1\",";
    doc += "\"server_port\":53,\"detour\":\"proxy\"}],\"strategy\":\"ipv4_only\",\"final\":\"remote\"},";
    doc += "\"inbounds\":[{\"type\":\"tun\",\"tag\":\"tun-in\",\"interface_name\":\"VantorelTun\",";
    doc += "\"address\":[\"198.18.0.1/30\"],\"stack\":\"system\",";
    // sing-box has no tun dns_mode/dns_address and rejects unknown members; the hijack-dns rule
    // captures DNS instead.
    doc += "\"auto_route\":false,\"strict_route\":false}],";
    doc += "\"outbounds\":[" + outbound + ",{\"type\":\"direct\",\"tag\":\"direct\"}],";
    doc += "\"route\":{\"auto_detect_interface\":true,\"final\":\"proxy\",\"rules\":[" + rules + "]},";
    doc += "\"experimental\":{";
    doc += BuildExperimental(api_port, api_secret);
    doc += "}}";
    return doc;
}

}  // namespace vantorel
