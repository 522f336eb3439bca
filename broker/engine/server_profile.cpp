#include "broker/engine/server_profile.h"

#include <cstddef>

#include "protocol/utf8_check.h"

namespace vantorel {
namespace {

bool IsClassicSpace(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r'; }

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

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

bool FailPort(const std::string& cut_text, ServerProfile& profile, std::string& errorField) {
    // Only the port text is kept for the log; the caller guards it against user information.
    profile.server_ports = cut_text.substr(0, 32);
    errorField = "port";
    return false;
}

struct HostPort {
    std::string host;
    std::string port_text;
};

bool SplitHostPort(const std::string& authority, HostPort& out) {
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        out.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':') {
            out.port_text = authority.substr(close + 2);
        }
        return true;
    }
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string::npos) {
        out.host = authority;
    } else {
        out.host = authority.substr(0, colon);
        out.port_text = authority.substr(colon + 1);
    }
    return true;
}

void FillVlessFields(const std::string& query, ServerProfile& out) {
    out.flow = QueryParam(query, "flow");
    out.security = AsciiLower(QueryParam(query, "security"));
    out.public_key = QueryParam(query, "pbk");
    out.short_id = QueryParam(query, "sid");
    out.fingerprint = QueryParam(query, "fp");
    if (out.fingerprint.empty()) out.fingerprint = "chrome";
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
          &profile.flow, &profile.security, &profile.public_key, &profile.short_id, &profile.fingerprint}) {
        if (!IsValidUtf8(*text)) return false;
    }
    return true;
}

bool FailEncoding(std::string& errorField) {
    errorField = "encoding";
    return false;
}

}  // namespace

std::string AsciiLower(const std::string& text) {
    std::string out = text;
    for (char& ch : out) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return out;
}

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

bool ParsePortSpec(const std::string& port_text, ServerProfile& profile, std::string& errorField) {
    const std::string cut = port_text.substr(0, port_text.find_first_of("/?#"));
    if (cut.empty()) {
        profile.port = 443;
        profile.server_ports.clear();
        return true;
    }
    const std::size_t dash = cut.find('-');
    const std::size_t colon = cut.find(':');
    if (dash != std::string::npos && colon != std::string::npos) {
        return FailPort(cut, profile, errorField);
    }
    if (dash == std::string::npos && colon == std::string::npos) {
        int port = 0;
        if (!ParsePortNumber(cut, port)) return FailPort(cut, profile, errorField);
        profile.port = port;
        profile.server_ports.clear();
        return true;
    }
    const std::size_t split = dash != std::string::npos ? dash : colon;
    const char separator = cut[split];
    if (cut.find(separator, split + 1) != std::string::npos) {
        return FailPort(cut, profile, errorField);
    }
    int low = 0;
    int high = 0;
    if (!ParsePortNumber(cut.substr(0, split), low) || !ParsePortNumber(cut.substr(split + 1), high) || high < low) {
        return FailPort(cut, profile, errorField);
    }
    profile.port = low;
    profile.server_ports = std::to_string(low) + ":" + std::to_string(high);
    return true;
}

bool ParseServerProfile(const std::string& link, ServerProfile& out, std::string& errorField) {
    const std::string text = TrimClassicSpace(link);
    const std::size_t marker = text.find("://");
    if (marker == std::string::npos || marker == 0) {
        errorField = "scheme";
        return false;
    }
    std::string scheme = AsciiLower(text.substr(0, marker));
    if (scheme == "hy2") scheme = "hysteria2";
    if (scheme != "hysteria2" && scheme != "vless") {
        errorField = "scheme";
        return false;
    }

    std::string rest = text.substr(marker + 3);
    rest = rest.substr(0, rest.find('#'));
    const std::size_t at = rest.find('@');
    if (rest.empty() || at == std::string::npos) {
        errorField = "auth";
        return false;
    }
    const std::string user_info = PercentDecode(rest.substr(0, at));
    std::string authority = rest.substr(at + 1);
    std::string query;
    const std::size_t question = authority.find('?');
    if (question != std::string::npos) {
        query = authority.substr(question + 1);
        authority.resize(question);
    }

    HostPort host_port;
    if (!SplitHostPort(authority, host_port) || host_port.host.empty()) {
        errorField = "host";
        return false;
    }
    if (host_port.host.find(':') != std::string::npos) {
        errorField = "ipv6";
        return false;
    }

    out = ServerProfile{};
    out.scheme = scheme;
    out.host = host_port.host;
    out.sni = QueryParam(query, "sni");
    if (out.sni.empty()) out.sni = out.host;
    out.insecure = QueryParam(query, "insecure") == "1" || QueryParam(query, "allowInsecure") == "1";

    const std::string mport = QueryParam(query, "mport");
    if (!ParsePortSpec(mport.empty() ? host_port.port_text : mport, out, errorField)) return false;

    const std::string hop = QueryParam(query, "mportHopInt");
    if (!hop.empty() && AllDigits(hop)) out.hop_interval = HopInterval(hop);

    if (scheme == "vless") {
        out.uuid = user_info;
        if (out.uuid.empty()) {
            errorField = "auth";
            return false;
        }
        FillVlessFields(query, out);
        if (out.security == "reality" && out.public_key.empty()) {
            errorField = "reality";
            return false;
        }
        return AllTextIsUtf8(out) ? true : FailEncoding(errorField);
    }

    if (user_info.empty()) {
        errorField = "auth";
        return false;
    }
    out.password = HysteriaPassword(user_info);
    out.obfs = QueryParam(query, "obfs");
    out.obfs_password = QueryParam(query, "obfs-password");
    return AllTextIsUtf8(out) ? true : FailEncoding(errorField);
}

}  // namespace vantorel
