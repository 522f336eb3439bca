#pragma once
// vless:// and hysteria2:// (hy2://) profile links. A link is either read with every setting it
// asks for, or refused naming the part at fault; docs/links.md lists both.

#include <string>

namespace vantorel {

struct ServerProfile {
    std::string scheme;
    std::string host;
    std::string password;
    std::string uuid;
    std::string obfs;
    std::string obfs_password;
    std::string sni;
    // "low:high" entries joined by ','; empty for one port. After a port failure: the cut port text.
    std::string server_ports;
    std::string hop_interval;
    std::string flow;
    std::string security;
    std::string public_key;
    std::string short_id;
    // Empty only where uTLS cannot apply (the QUIC transport).
    std::string fingerprint;
    int port = 443;
    bool insecure = false;
    std::string alpn;             // protocol names joined by ','
    std::string transport;        // vless: "" (plain TCP), "ws", "grpc", "http", "httpupgrade" or "quic"
    std::string path;             // ws, http, httpupgrade (ws: without its "ed" parameter)
    std::string host_header;      // ws, httpupgrade: one name; http: names joined by ','
    std::string service_name;     // grpc
    unsigned max_early_data = 0;  // ws: bytes of early data in Sec-WebSocket-Protocol, 0 for none
    // vless: the engine's packet_encoding ("" plain VLESS UDP, "packetaddr", "xudp"); unset leaves
    // the engine's default (xudp), which is what a link without packetEncoding gets from Xray too.
    bool packet_encoding_set = false;
    std::string packet_encoding;
};

// errorField on failure names the part at fault: "scheme", "auth", "host", "ipv6", "port",
// "encoding" (a text that is not UTF-8), "reality" (no pbk), or the query parameter refused:
// "insecure", "alpn", "mportHopInt", "pinSHA256", "obfs", "obfs-password", "encryption",
// "security", "type", "headerType", "ed", "http-host", "serviceName", "mode", "authority", "quicSecurity",
// "flow", "fp", "pbk", "sid", "spx", "pqv", "ech", "pcs", "vcn", "packetEncoding".
bool ParseServerProfile(const std::string& link, ServerProfile& out, std::string& errorField);
bool ParsePortSpec(const std::string& port_text, ServerProfile& profile, std::string& errorField);
bool ParsePortNumber(const std::string& text, int& value);
std::string PercentDecode(const std::string& text);
std::string QueryParam(const std::string& query, const std::string& name);
// The uTLS fingerprint names the engine knows (it compares them case-sensitively).
bool IsEngineFingerprint(const std::string& name);

}  // namespace vantorel
