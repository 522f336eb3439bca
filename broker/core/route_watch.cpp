#include "broker/core/route_watch.h"

#include <cstring>

namespace vantorel {

namespace {

bool ParseIpv4(const std::string& text, unsigned char out[4]) {
    int part = 0;
    int value = -1;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9') {
            value = (value < 0 ? 0 : value * 10) + (ch - '0');
            if (value > 255) return false;
        } else if (ch == '.' && value >= 0 && part < 3) {
            out[part++] = static_cast<unsigned char>(value);
            value = -1;
        } else {
            return false;
        }
    }
    if (part != 3 || value < 0) return false;
    out[3] = static_cast<unsigned char>(value);
    return true;
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Groups of one side of "::"; false on a malformed group.
bool ParseGroups(const std::string& text, std::vector<unsigned>& groups) {
    if (text.empty()) return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(':', start);
        const std::string group = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (char ch : group) {
            const int digit = HexDigit(ch);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups.push_back(value);
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool ParseIpv6(const std::string& text, unsigned char out[16]) {
    const std::size_t gap = text.find("::");
    std::vector<unsigned> head;
    std::vector<unsigned> tail;
    if (gap == std::string::npos) {
        if (!ParseGroups(text, head) || head.size() != 8) return false;
    } else {
        if (text.find("::", gap + 1) != std::string::npos) return false;
        if (!ParseGroups(text.substr(0, gap), head) || !ParseGroups(text.substr(gap + 2), tail)) return false;
        if (head.size() + tail.size() > 7) return false;
    }
    std::memset(out, 0, 16);
    for (std::size_t i = 0; i < head.size(); ++i) {
        out[2 * i] = static_cast<unsigned char>(head[i] >> 8);
        out[2 * i + 1] = static_cast<unsigned char>(head[i] & 0xFF);
    }
    for (std::size_t i = 0; i < tail.size(); ++i) {
        const std::size_t at = 8 - tail.size() + i;
        out[2 * at] = static_cast<unsigned char>(tail[i] >> 8);
        out[2 * at + 1] = static_cast<unsigned char>(tail[i] & 0xFF);
    }
    return true;
}

struct Prefix {
    unsigned char bytes[16] = {};
    bool v6 = false;
    int length = 0;  // counted in the family's own bits
};

bool ToPrefix(const RouteRow& row, Prefix& out) {
    if (!ParseAddress(row.destination, out.bytes, out.v6)) return false;
    out.length = row.prefix_length;
    return out.length >= 0 && out.length <= (out.v6 ? 128 : 32);
}

// Whether `inner` lies wholly inside `outer`.
bool Within(const Prefix& inner, const Prefix& outer) {
    if (inner.v6 != outer.v6 || inner.length < outer.length) return false;
    const int offset = outer.v6 ? 0 : 96;
    for (int bit = 0; bit < outer.length; ++bit) {
        const int at = offset + bit;
        const unsigned mask = 0x80u >> (at % 8);
        if ((inner.bytes[at / 8] & mask) != (outer.bytes[at / 8] & mask)) return false;
    }
    return true;
}

bool Multicast(const Prefix& prefix) {
    if (prefix.v6) return prefix.bytes[0] == 0xFF;
    const unsigned char first = prefix.bytes[12];
    return (first >= 224 && first <= 239) || (prefix.length == 32 && first == 255 && prefix.bytes[13] == 255);
}

bool SameRow(const RouteRow& a, const CaptureRoute& b) {
    return a.interface_luid == b.interface_luid && a.prefix_length == b.prefix_length && a.destination == b.destination;
}

std::string Describe(const std::string& destination, int prefix_length) {
    return destination + "/" + std::to_string(prefix_length);
}

}  // namespace

bool ParseAddress(const std::string& text, unsigned char out[16], bool& v6) {
    if (text.find(':') != std::string::npos) {
        v6 = true;
        return ParseIpv6(text, out);
    }
    v6 = false;
    std::memset(out, 0, 16);
    out[10] = 0xFF;
    out[11] = 0xFF;
    return ParseIpv4(text, out + 12);
}

RouteJudgement JudgeRoutes(const std::vector<CaptureRoute>& capture, const std::vector<RouteRow>& at_connect,
                           const std::vector<RouteRow>& now) {
    RouteJudgement judgement;
    bool ipv6_captured = false;
    for (const CaptureRoute& row : capture) {
        if (row.destination.find(':') != std::string::npos) ipv6_captured = true;
        bool present = false;
        for (const RouteRow& route : now) present = present || SameRow(route, row);
        if (!present) {
            judgement.verdict = RouteVerdict::capture_lost;
            judgement.route = Describe(row.destination, row.prefix_length);
            return judgement;
        }
    }

    std::vector<Prefix> known;
    // The local networks present at connect; the defaults and halves say nothing about where a
    // destination is.
    for (const RouteRow& route : at_connect) {
        Prefix prefix;
        if (!route.own && ToPrefix(route, prefix) && prefix.length >= 2) known.push_back(prefix);
    }
    for (const RouteRow& route : now) {
        Prefix prefix;
        if (route.own || !ToPrefix(route, prefix) || Multicast(prefix)) continue;
        // An IPv6 default while IPv6 is uncaptured takes everything IPv6 outside the tunnel; an
        // IPv4 default or a /1 loses to the capture routes, which the pin check already guards.
        const bool default_route = prefix.length == 0;
        if (default_route && !(prefix.v6 && !ipv6_captured)) continue;
        if (!default_route && prefix.length < 2) continue;
        bool seen = false;
        for (const Prefix& old : known) seen = seen || Within(prefix, old);
        if (seen) continue;
        judgement.verdict = RouteVerdict::network_changed;
        judgement.route = Describe(route.destination, route.prefix_length);
        return judgement;
    }
    return judgement;
}

}  // namespace vantorel
