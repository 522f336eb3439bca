#include "broker/engine/server_profile.h"

#include <cstddef>

#include "protocol/utf8_check.h"
#include "protocol/ascii_text.h"

namespace vantorel {
namespace {

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool AllDigits(const std::string& text) {
    for (char ch : text) {
        if (!IsDigit(ch)) return false;
    }
    return true;
}

// The engine keeps durations as signed 64-bit nanoseconds and refuses a longer hop interval.
constexpr char kLongestHopSeconds[] = "9223372036";

// All digits, in seconds. An interval beyond the engine's limit (about 292 years) would never
// elapse in a session anyway: it is clamped to the limit, so the profile still connects.
std::string HopInterval(const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? std::string() : digits.substr(first);
    const std::string longest(kLongestHopSeconds);
    if (significant.size() > longest.size() || (significant.size() == longest.size() && significant > longest)) {
        return longest + "s";
    }
    return digits + "s";
}

std::string TrimClassicSpace(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsClassicSpace(text[begin])) ++begin;
    while (end > begin && IsClassicSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

struct HostPort {
    std::string host;
    std::string port_text;
};

// RFC 3986 host and port. Only an IPv4 address or a name can serve (the broker pins an IPv4 route
// to the server), so an IPv6 literal is refused as such and never read as a name or a port.
bool SplitHostPort(const std::string& host_port, HostPort& out, std::string& errorField) {
    if (!host_port.empty() && host_port[0] == '[') {
        const std::size_t close = host_port.find(']');
        const std::string inside = close == std::string::npos ? std::string() : host_port.substr(1, close - 1);
        if (close != std::string::npos && inside.find(':') != std::string::npos) {
            errorField = "ipv6";
            return false;
        }
        // Brackets hold IP literals only: anything else in them is no host.
        errorField = "host";
        return false;
    }
    const std::size_t colon = host_port.find(':');
    if (colon != std::string::npos && host_port.find(':', colon + 1) != std::string::npos) {
        errorField = "ipv6";
        return false;
    }
    out.host = host_port.substr(0, colon);
    if (colon != std::string::npos) out.port_text = host_port.substr(colon + 1);
    return true;
}

bool IsHostByte(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || IsDigit(ch) || ch == '-' || ch == '.' || ch == '_';
}

// A name the resolver and the TLS server name can both use; an international name is written
// in its xn-- form.
bool IsHostName(const std::string& host) {
    if (host.empty()) return false;
    for (char ch : host) {
        if (!IsHostByte(ch)) return false;
    }
    return true;
}

std::string HysteriaPassword(const std::string& user_info) {
    const std::size_t colon = user_info.find(':');
    if (colon == std::string::npos) return user_info;
    const std::string user = user_info.substr(0, colon);
    const std::string rest = user_info.substr(colon + 1);
    return rest.empty() ? user : user + ":" + rest;
}

// Every text that reaches the engine configuration. JSON carries text, not bytes: a decoded byte
// that is not UTF-8 could only reach the engine changed (its decoder substitutes U+FFFD), so the
// server would see another password than the link holds.
bool AllTextIsUtf8(const ServerProfile& profile) {
    for (const std::string* text :
         {&profile.host, &profile.password, &profile.uuid, &profile.obfs, &profile.obfs_password, &profile.sni,
          &profile.flow, &profile.security, &profile.public_key, &profile.short_id, &profile.fingerprint, &profile.alpn,
          &profile.path, &profile.host_header, &profile.service_name}) {
        if (!IsValidUtf8(*text)) return false;
    }
    return true;
}

bool Fail(const char* field, std::string& errorField) {
    errorField = field;
    return false;
}

bool FailPort(const std::string& cut_text, ServerProfile& profile, std::string& errorField) {
    // Only the port text is kept for the log; the caller guards it against user information.
    profile.server_ports = cut_text.substr(0, 32);
    errorField = "port";
    return false;
}

// "1"/"true" and "0"/"false" (any case); an empty value is the default, false.
bool ReadFlag(const std::string& value, bool& flag) {
    const std::string lower = AsciiLower(value);
    if (lower.empty() || lower == "0" || lower == "false") return true;
    if (lower == "1" || lower == "true") {
        flag = true;
        return true;
    }
    return false;
}

std::string TrimSpaces(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// A comma-separated list without empty items, rejoined without the spaces around items.
bool ReadList(const std::string& value, std::string& joined) {
    joined.clear();
    if (value.empty()) return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = value.find(',', start);
        const std::string item = TrimSpaces(value.substr(start, comma == std::string::npos ? comma : comma - start));
        if (item.empty()) return false;
        if (!joined.empty()) joined += ",";
        joined += item;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// mportHopInt: seconds, written as digits with or without a trailing "s".
bool ReadHopInterval(const std::string& value, std::string& hop_interval) {
    std::string digits = value;
    if (!digits.empty() && digits.back() == 's') digits.pop_back();
    if (value.empty()) return true;
    if (digits.empty() || !AllDigits(digits)) return false;
    hop_interval = HopInterval(digits);
    return true;
}

bool IsBase64UrlByte(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || IsDigit(ch) || ch == '-' || ch == '_';
}

// The engine decodes pbk as unpadded base64url and wants 32 bytes: exactly 43 characters.
bool IsRealityPublicKey(const std::string& key) {
    if (key.size() != 43) return false;
    for (char ch : key) {
        if (!IsBase64UrlByte(ch)) return false;
    }
    return true;
}

// The engine decodes sid as hex into 8 bytes: even length, at most 16 digits (more makes it panic).
bool IsRealityShortId(const std::string& sid) {
    if (sid.size() % 2 != 0 || sid.size() > 16) return false;
    for (char ch : sid) {
        if (HexValue(ch) < 0) return false;
    }
    return true;
}

// Xray's WebSocket early data: an "ed" parameter inside the path, taken out of the path.
bool TakeEarlyData(std::string& path, std::string& ed) {
    const std::size_t question = path.find('?');
    if (question == std::string::npos) return true;
    std::string kept;
    std::size_t start = question + 1;
    while (start <= path.size()) {
        std::size_t end = path.find('&', start);
        if (end == std::string::npos) end = path.size();
        const std::string segment = path.substr(start, end - start);
        if (segment.compare(0, 3, "ed=") == 0) {
            if (!ed.empty() && ed != segment.substr(3)) return false;
            ed = segment.substr(3);
        } else if (!segment.empty()) {
            kept += (kept.empty() ? "" : "&") + segment;
        }
        start = end + 1;
    }
    path = path.substr(0, question) + (kept.empty() ? "" : "?" + kept);
    return true;
}

bool ReadEarlyData(const std::string& ed, unsigned& max_early_data) {
    if (ed.empty()) return true;
    // Xray recommends at most 8192; the engine takes any 32-bit count.
    if (!AllDigits(ed) || ed.size() > 9) return false;
    max_early_data = static_cast<unsigned>(std::stoul(ed));
    return true;
}

bool ReadTransport(const std::string& query, ServerProfile& out, std::string& errorField) {
    const std::string type = AsciiLower(QueryParam(query, "type"));
    const std::string header_type = AsciiLower(QueryParam(query, "headerType"));
    if (!header_type.empty() && header_type != "none") return Fail("headerType", errorField);
    if (type.empty() || type == "tcp" || type == "raw") return true;  // host and path mean nothing here
    if (type == "ws") {
        out.transport = "ws";
        out.path = QueryParam(query, "path");
        out.host_header = QueryParam(query, "host");
        std::string ed = QueryParam(query, "ed");
        if (!TakeEarlyData(out.path, ed) || !ReadEarlyData(ed, out.max_early_data)) return Fail("ed", errorField);
        return true;
    }
    if (type == "httpupgrade") {
        out.transport = "httpupgrade";
        out.path = QueryParam(query, "path");
        out.host_header = QueryParam(query, "host");
        // The engine has no early data for this transport.
        std::string ed = QueryParam(query, "ed");
        std::string path = out.path;
        if (!TakeEarlyData(path, ed) || !ed.empty()) return Fail("ed", errorField);
        return true;
    }
    if (type == "http" || type == "h2") {
        out.transport = "http";
        out.path = QueryParam(query, "path");
        if (!ReadList(QueryParam(query, "host"), out.host_header)) return Fail("http-host", errorField);
        return true;
    }
    if (type == "grpc") {
        out.transport = "grpc";
        out.service_name = QueryParam(query, "serviceName");
        // A leading '/' is Xray's custom path; the engine always asks for /<name>/Tun.
        if (!out.service_name.empty() && out.service_name[0] == '/') return Fail("serviceName", errorField);
        const std::string mode = AsciiLower(QueryParam(query, "mode"));
        if (!mode.empty() && mode != "gun") return Fail("mode", errorField);
        if (!QueryParam(query, "authority").empty()) return Fail("authority", errorField);
        return true;
    }
    if (type == "quic") {
        out.transport = "quic";
        const std::string quic_security = AsciiLower(QueryParam(query, "quicSecurity"));
        if ((!quic_security.empty() && quic_security != "none") || !QueryParam(query, "key").empty()) {
            return Fail("quicSecurity", errorField);
        }
        return true;
    }
    return Fail("type", errorField);
}

bool ReadVlessSecurity(const std::string& query, ServerProfile& out, std::string& errorField) {
    const bool tls = out.security == "tls" || out.security == "reality";
    if (!tls) {
        if (out.transport == "quic") return Fail("security", errorField);  // QUIC is TLS
        return true;                                                       // sni, fp and alpn have no TLS to act on
    }
    if (!QueryParam(query, "ech").empty()) return Fail("ech", errorField);
    const std::string fp = QueryParam(query, "fp");
    out.fingerprint = AsciiLower(fp);
    if (out.transport == "quic") {
        // uTLS cannot drive a QUIC handshake, and Reality needs uTLS.
        if (out.security == "reality") return Fail("security", errorField);
        if (!fp.empty()) return Fail("fp", errorField);
    } else if (out.fingerprint.empty()) {
        out.fingerprint = "chrome";
    }
    if (!out.fingerprint.empty() && !IsEngineFingerprint(out.fingerprint)) return Fail("fp", errorField);
    if (out.security != "reality") return true;
    if (out.public_key.empty()) return Fail("reality", errorField);
    if (!IsRealityPublicKey(out.public_key)) return Fail("pbk", errorField);
    if (!IsRealityShortId(out.short_id)) return Fail("sid", errorField);
    // The engine's fallback on a failed check fetches "/", Xray's default spider path.
    const std::string spx = QueryParam(query, "spx");
    if (!spx.empty() && spx != "/") return Fail("spx", errorField);
    if (!QueryParam(query, "pqv").empty()) return Fail("pqv", errorField);
    return true;
}

// Xray's names for how UDP travels inside VLESS, as the engine spells them.
bool ReadPacketEncoding(const std::string& value, ServerProfile& out) {
    const std::string lowered = AsciiLower(value);
    if (lowered.empty()) return true;
    out.packet_encoding_set = true;
    if (lowered == "none") return true;
    if (lowered == "packet") {
        out.packet_encoding = "packetaddr";
        return true;
    }
    if (lowered == "xudp") {
        out.packet_encoding = "xudp";
        return true;
    }
    return false;
}

bool ReadVless(const std::string& query, const std::string& user_info, ServerProfile& out, std::string& errorField) {
    out.uuid = user_info;
    if (out.uuid.empty()) return Fail("auth", errorField);
    const std::string encryption = QueryParam(query, "encryption");
    if (!encryption.empty() && encryption != "none") return Fail("encryption", errorField);
    out.security = AsciiLower(QueryParam(query, "security"));
    if (out.security == "none") out.security.clear();
    if (!out.security.empty() && out.security != "tls" && out.security != "reality") {
        return Fail("security", errorField);
    }
    out.public_key = QueryParam(query, "pbk");
    out.short_id = QueryParam(query, "sid");
    out.fingerprint = "chrome";
    if (!ReadTransport(query, out, errorField) || !ReadVlessSecurity(query, out, errorField)) return false;
    // Certificate pinning and name lists the engine's TLS cannot express: without them the link's
    // protection would be gone.
    if (!QueryParam(query, "pcs").empty()) return Fail("pcs", errorField);
    if (!QueryParam(query, "vcn").empty()) return Fail("vcn", errorField);
    if (!ReadPacketEncoding(QueryParam(query, "packetEncoding"), out)) return Fail("packetEncoding", errorField);
    out.flow = QueryParam(query, "flow");
    if (!out.flow.empty()) {
        // Vision reads the TLS records of a plain TCP connection; anything else fails every connection.
        if (out.flow != "xtls-rprx-vision" || out.security.empty() || !out.transport.empty()) {
            return Fail("flow", errorField);
        }
    }
    if (out.security.empty()) out.alpn.clear();
    return true;
}

bool ReadHysteria(const std::string& query, const std::string& user_info, ServerProfile& out, std::string& errorField) {
    if (user_info.empty()) return Fail("auth", errorField);
    out.password = HysteriaPassword(user_info);
    // The engine cannot pin a certificate by its hash: without the pin the link's protection is gone.
    if (!QueryParam(query, "pinSHA256").empty()) return Fail("pinSHA256", errorField);
    if (!ReadHopInterval(QueryParam(query, "mportHopInt"), out.hop_interval)) return Fail("mportHopInt", errorField);
    out.obfs = AsciiLower(QueryParam(query, "obfs"));
    out.obfs_password = QueryParam(query, "obfs-password");
    if (out.obfs.empty()) {
        if (!out.obfs_password.empty()) return Fail("obfs", errorField);
        return true;
    }
    if (out.obfs != "salamander") return Fail("obfs", errorField);
    if (out.obfs_password.empty()) return Fail("obfs-password", errorField);
    return true;
}

}  // namespace

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string QueryParam(const std::string& query, const std::string& name) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string segment = query.substr(start, end - start);
        const std::size_t eq = segment.find('=');
        if (eq != std::string::npos && PercentDecode(segment.substr(0, eq)) == name) {
            return PercentDecode(segment.substr(eq + 1));
        }
        start = end + 1;
    }
    return {};
}

bool ParsePortNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 5 || !AllDigits(text)) return false;
    int parsed = 0;
    for (char ch : text) parsed = parsed * 10 + (ch - '0');
    if (parsed < 1 || parsed > 65535) return false;
    value = parsed;
    return true;
}

namespace {

// One entry of a port list: a port, or a range written low-high or low:high.
bool ParsePortEntry(const std::string& entry, int& low, int& high) {
    const std::size_t dash = entry.find('-');
    const std::size_t colon = entry.find(':');
    if (dash != std::string::npos && colon != std::string::npos) return false;
    if (dash == std::string::npos && colon == std::string::npos) {
        if (!ParsePortNumber(entry, low)) return false;
        high = low;
        return true;
    }
    const std::size_t split = dash != std::string::npos ? dash : colon;
    if (entry.find(entry[split], split + 1) != std::string::npos) return false;
    return ParsePortNumber(entry.substr(0, split), low) && ParsePortNumber(entry.substr(split + 1), high) &&
           high >= low;
}

}  // namespace

// The Hysteria multi-port form: entries separated by ',' (123,5000-6000). The engine takes the
// list as "low:high" texts; a single port keeps server_ports empty.
bool ParsePortSpec(const std::string& port_text, ServerProfile& profile, std::string& errorField) {
    const std::string cut = port_text.substr(0, port_text.find_first_of("/?#"));
    if (cut.empty()) {
        profile.port = 443;
        profile.server_ports.clear();
        return true;
    }
    std::string ports;
    int first = 0;
    bool single = cut.find_first_of("-:,") == std::string::npos;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = cut.find(',', start);
        int low = 0;
        int high = 0;
        if (!ParsePortEntry(cut.substr(start, comma == std::string::npos ? comma : comma - start), low, high)) {
            return FailPort(cut, profile, errorField);
        }
        if (ports.empty()) first = low;
        ports += (ports.empty() ? "" : ",") + std::to_string(low) + ":" + std::to_string(high);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    profile.port = first;
    profile.server_ports = single ? std::string() : ports;
    return true;
}

bool IsEngineFingerprint(const std::string& name) {
    static const char* const kNames[] = {"chrome",
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
    for (const char* known : kNames) {
        if (name == known) return true;
    }
    return false;
}

bool ParseServerProfile(const std::string& link, ServerProfile& out, std::string& errorField) {
    const std::string text = TrimClassicSpace(link);
    const std::size_t marker = text.find("://");
    if (marker == std::string::npos || marker == 0) return Fail("scheme", errorField);
    std::string scheme = AsciiLower(text.substr(0, marker));
    if (scheme == "hy2") scheme = "hysteria2";
    if (scheme != "hysteria2" && scheme != "vless") return Fail("scheme", errorField);

    // RFC 3986: the authority ends at the first '/', '?' or '#'; the user information runs to its
    // last '@'. A path after the authority (the Hysteria form host/?...) carries nothing.
    std::string rest = text.substr(marker + 3);
    rest = rest.substr(0, rest.find('#'));
    const std::size_t authority_end = rest.find_first_of("/?");
    const std::string authority = rest.substr(0, authority_end);
    std::string query;
    const std::size_t question = rest.find('?');
    if (question != std::string::npos) query = rest.substr(question + 1);
    const std::size_t at = authority.rfind('@');
    if (at == std::string::npos) return Fail("auth", errorField);
    const std::string user_info = PercentDecode(authority.substr(0, at));

    HostPort host_port;
    if (!SplitHostPort(authority.substr(at + 1), host_port, errorField)) return false;
    if (!IsHostName(host_port.host)) {
        // Bytes that are not UTF-8 are an encoding fault, not a bad name.
        return Fail(IsValidUtf8(host_port.host) ? "host" : "encoding", errorField);
    }

    out = ServerProfile{};
    out.scheme = scheme;
    out.host = host_port.host;
    out.sni = QueryParam(query, "sni");
    if (out.sni.empty()) out.sni = out.host;
    if (!ReadFlag(QueryParam(query, "insecure"), out.insecure) ||
        !ReadFlag(QueryParam(query, "allowInsecure"), out.insecure)) {
        return Fail("insecure", errorField);
    }

    const std::string mport = QueryParam(query, "mport");
    const std::string port_text = mport.empty() ? host_port.port_text : mport;
    if (!ParsePortSpec(port_text, out, errorField)) return false;
    // One VLESS server listens on one port: a range would be cut to its first port unnoticed.
    if (scheme == "vless" && !out.server_ports.empty()) {
        return FailPort(port_text.substr(0, port_text.find_first_of("/?#")), out, errorField);
    }
    if (!ReadList(QueryParam(query, "alpn"), out.alpn)) return Fail("alpn", errorField);

    const bool read = scheme == "vless" ? ReadVless(query, user_info, out, errorField)
                                        : ReadHysteria(query, user_info, out, errorField);
    if (!read) return false;
    return AllTextIsUtf8(out) ? true : Fail("encoding", errorField);
}

}  // namespace vantorel
