#include "broker/portable/ledger_text.h"

#include <cstddef>
#include <cstdint>
#include <limits>

#include "protocol/codes.h"
#include "protocol/ascii_text.h"

namespace vantorel {
namespace {

// The numeric readers are our own rather than strtoll/strtoul: `unsigned long` is 32 bits on
// Windows and 64 on Linux, and strtoull silently negates a leading '-'.
enum class NumberRead { ok, no_digits, out_of_range };

struct SignedDigits {
    bool negative = false;
    std::size_t begin = 0;
    std::size_t end = 0;
};

SignedDigits LocateDigits(const std::string& text) {
    SignedDigits found;
    std::size_t pos = 0;
    while (pos < text.size() && IsClassicSpace(text[pos])) ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        found.negative = text[pos] == '-';
        ++pos;
    }
    found.begin = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    found.end = pos;
    return found;
}

// Magnitude of the digit run; anything above `limit` sets `over` instead of wrapping.
std::uint64_t Magnitude(const std::string& text, const SignedDigits& digits, std::uint64_t limit, bool& over) {
    std::uint64_t value = 0;
    over = false;
    for (std::size_t i = digits.begin; i < digits.end; ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (limit - digit) / 10) {
            over = true;
            return 0;
        }
        value = value * 10 + digit;
    }
    return value;
}

NumberRead ReadSigned(const std::string& text, long long min, long long max, long long& out) {
    const SignedDigits digits = LocateDigits(text);
    if (digits.begin == digits.end) return NumberRead::no_digits;
    const std::uint64_t limit =
        digits.negative ? static_cast<std::uint64_t>(-(min + 1)) + 1 : static_cast<std::uint64_t>(max);
    bool over = false;
    const std::uint64_t magnitude = Magnitude(text, digits, limit, over);
    if (over) return NumberRead::out_of_range;
    out = digits.negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return NumberRead::ok;
}

// A '-' is refused: a negative LUID or index is never ours, and wrapping it would name another one.
NumberRead ReadUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out) {
    const SignedDigits digits = LocateDigits(text);
    if (digits.begin == digits.end) return NumberRead::no_digits;
    if (digits.negative) return NumberRead::out_of_range;
    bool over = false;
    const std::uint64_t value = Magnitude(text, digits, max, over);
    if (over) return NumberRead::out_of_range;
    out = value;
    return NumberRead::ok;
}

bool ReadU64Field(const std::string& value, std::uint64_t& out) {
    if (value.empty()) {
        out = 0;
        return true;
    }
    return ReadUnsigned(value, std::numeric_limits<std::uint64_t>::max(), out) == NumberRead::ok;
}

std::uint32_t ReadU32Field(const std::string& value) {
    std::uint64_t parsed = 0;
    if (ReadUnsigned(value, std::numeric_limits<std::uint32_t>::max(), parsed) != NumberRead::ok) return 0;
    return static_cast<std::uint32_t>(parsed);
}

std::string ValueOf(const std::string& text, const std::string& key) {
    const std::string prefix = key + "=";
    std::size_t line = 0;
    while (line < text.size()) {
        std::size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        if (text.compare(line, prefix.size(), prefix) == 0 && end - line >= prefix.size()) {
            return text.substr(line + prefix.size(), end - line - prefix.size());
        }
        line = end + 1;
    }
    return {};
}

SessionState PhaseFromText(const std::string& value) {
    if (value == "connecting") return SessionState::connecting;
    if (value == "connected") return SessionState::connected;
    if (value == "disconnecting") return SessionState::disconnecting;
    return SessionState::idle;
}

// A line feed or '=' in a value would forge another line or key on reading.
std::string CleanValue(const std::string& value) {
    std::string out = value;
    for (char& ch : out) {
        if (ch == '\n' || ch == '\r' || ch == '=') ch = ' ';
    }
    return out;
}

void AppendLine(std::string& out, const char* key, const std::string& value) {
    out += key;
    out += '=';
    out += value;
    out += '\n';
}

bool ParseRouteLine(const std::string& value, CaptureRoute& route) {
    if (value.empty()) return false;
    const std::size_t last = value.rfind('/');
    if (last == std::string::npos || last == 0) return false;
    const std::size_t second = value.rfind('/', last - 1);
    if (second == std::string::npos || second == 0) return false;
    const std::size_t third = value.rfind('/', second - 1);
    if (third == std::string::npos) return false;

    long long prefix = 0;
    if (ReadSigned(value.substr(third + 1, second - third - 1), std::numeric_limits<int>::min(),
                   std::numeric_limits<int>::max(), prefix) != NumberRead::ok) {
        return false;
    }
    std::uint64_t index = 0;
    if (!ReadU64Field(value.substr(second + 1, last - second - 1), route.interface_luid)) return false;
    // Unlike the pin's numbers, a route's index is never read as 0: a wrong index is a wrong route.
    if (ReadUnsigned(value.substr(last + 1), std::numeric_limits<std::uint32_t>::max(), index) != NumberRead::ok) {
        return false;
    }
    route.destination = value.substr(0, third);
    route.prefix_length = static_cast<int>(prefix);
    route.interface_index = static_cast<std::uint32_t>(index);
    return true;
}

bool ParseRoutes(const std::string& text, std::vector<CaptureRoute>& routes) {
    static const std::string prefix = "route=";
    std::size_t line = 0;
    while (line < text.size()) {
        std::size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        if (text.compare(line, prefix.size(), prefix) == 0 && end - line >= prefix.size()) {
            CaptureRoute route;
            if (!ParseRouteLine(text.substr(line + prefix.size(), end - line - prefix.size()), route)) {
                return false;
            }
            routes.push_back(route);
        }
        line = end + 1;
    }
    return true;
}

}  // namespace

std::string WriteLedgerText(const SessionLedger& ledger) {
    std::string out = "v1\n";
    AppendLine(out, "generation", std::to_string(ledger.generation));
    AppendLine(out, "phase", SessionStateName(ledger.phase));
    AppendLine(out, "pid", std::to_string(ledger.pid));
    AppendLine(out, "cleanup_verified", ledger.cleanup_verified ? "1" : "0");
    AppendLine(out, "pin_intended", ledger.pin_intended ? "1" : "0");
    AppendLine(out, "destination", CleanValue(ledger.pin.destination));
    AppendLine(out, "interface_luid", std::to_string(ledger.pin.interface_luid));
    AppendLine(out, "interface_index", std::to_string(ledger.pin.interface_index));
    AppendLine(out, "physical_index", std::to_string(ledger.pin.physical_index));
    AppendLine(out, "next_hop", CleanValue(ledger.pin.next_hop));
    AppendLine(out, "metric", std::to_string(ledger.pin.metric));
    AppendLine(out, "adapter_known", ledger.adapter_known ? "1" : "0");
    AppendLine(out, "adapter_name", CleanValue(ledger.adapter.name));
    AppendLine(out, "adapter_guid", CleanValue(ledger.adapter.guid));
    AppendLine(out, "adapter_luid", std::to_string(ledger.adapter.luid));
    AppendLine(out, "adapter_index", std::to_string(ledger.adapter.index));
    AppendLine(out, "config_written", ledger.config_written ? "1" : "0");
    AppendLine(out, "firewall_open", ledger.firewall_open ? "1" : "0");
    AppendLine(out, "tunnel_dns_guid", CleanValue(ledger.tunnel_dns_guid));
    for (const CaptureRoute& route : ledger.routes) {
        AppendLine(out, "route",
                   CleanValue(route.destination) + "/" + std::to_string(route.prefix_length) + "/" +
                       std::to_string(route.interface_luid) + "/" + std::to_string(route.interface_index));
    }
    return out;
}

bool ParseLedgerText(const std::string& text, SessionLedger& out) {
    if (text != "v1" && text.compare(0, 3, "v1\n") != 0) return false;

    SessionLedger ledger;
    const std::string generation = ValueOf(text, "generation");
    if (!generation.empty() && ReadSigned(generation, std::numeric_limits<long long>::min(),
                                          std::numeric_limits<long long>::max(), ledger.generation) != NumberRead::ok) {
        return false;
    }
    ledger.phase = PhaseFromText(ValueOf(text, "phase"));
    ledger.pid = ReadU32Field(ValueOf(text, "pid"));
    ledger.cleanup_verified = ValueOf(text, "cleanup_verified") == "1";
    ledger.pin_intended = ValueOf(text, "pin_intended") == "1";
    ledger.pin.destination = ValueOf(text, "destination");
    if (!ReadU64Field(ValueOf(text, "interface_luid"), ledger.pin.interface_luid)) return false;
    ledger.pin.interface_index = ReadU32Field(ValueOf(text, "interface_index"));
    ledger.pin.physical_index = ReadU32Field(ValueOf(text, "physical_index"));
    ledger.pin.next_hop = ValueOf(text, "next_hop");
    ledger.pin.metric = ReadU32Field(ValueOf(text, "metric"));
    ledger.adapter_known = ValueOf(text, "adapter_known") == "1";
    ledger.adapter.name = ValueOf(text, "adapter_name");
    ledger.adapter.guid = ValueOf(text, "adapter_guid");
    if (!ReadU64Field(ValueOf(text, "adapter_luid"), ledger.adapter.luid)) return false;
    ledger.adapter.index = ReadU32Field(ValueOf(text, "adapter_index"));
    ledger.config_written = ValueOf(text, "config_written") == "1";
    // Absent from ledgers written before the filters existed: read as not open.
    ledger.firewall_open = ValueOf(text, "firewall_open") == "1";
    ledger.tunnel_dns_guid = ValueOf(text, "tunnel_dns_guid");
    if (!ParseRoutes(text, ledger.routes)) return false;
    out = std::move(ledger);
    return true;
}

bool IsDottedIpv4Text(const std::string& text) {
    if (text.empty() || text.size() > 15) return false;
    int dots = 0;
    for (char ch : text) {
        if (ch == '.') {
            ++dots;
        } else if (ch < '0' || ch > '9') {
            return false;
        }
    }
    return dots == 3;
}

bool SalvageLedgerText(const std::string& text, SessionLedger& out) {
    static const std::string key = "destination=";
    const std::size_t found = text.find(key);
    if (found == std::string::npos) return false;
    const std::size_t start = found + key.size();
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string destination = text.substr(start, end - start);
    if (!IsDottedIpv4Text(destination)) return false;
    out = SessionLedger{};
    out.phase = SessionState::disconnecting;
    out.cleanup_verified = false;
    out.pin_intended = true;
    out.pin.destination = destination;
    return true;
}

}  // namespace vantorel
