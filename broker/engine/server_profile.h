#pragma once
// vless:// and hysteria2:// (hy2://) profile links.

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
    std::string server_ports;
    std::string hop_interval;
    std::string flow;
    std::string security;
    std::string public_key;
    std::string short_id;
    std::string fingerprint;
    int port = 443;
    bool insecure = false;
};

// errorField on failure: "scheme", "auth", "host", "ipv6", "port", "reality" or "encoding" (a text
// of the link, percent-decoded or not, that is not UTF-8).
bool ParseServerProfile(const std::string& link, ServerProfile& out, std::string& errorField);
bool ParsePortSpec(const std::string& port_text, ServerProfile& profile, std::string& errorField);
bool ParsePortNumber(const std::string& text, int& value);
std::string PercentDecode(const std::string& text);
std::string QueryParam(const std::string& query, const std::string& name);
std::string AsciiLower(const std::string& text);

}  // namespace vantorel
