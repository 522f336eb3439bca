#include "controller/relay_rules.h"

#include <cstdint>
#include <limits>

#include "protocol/commands.h"
#include "protocol/events.h"
#include "protocol/ascii_text.h"

namespace vantorel {
namespace {

bool Contains(const std::string& text, const char* needle) { return text.find(needle) != std::string::npos; }

}  // namespace

bool IsStateEvent(const std::string& payload) {
    return payload.size() >= 15 && Contains(payload, "\"event\":\"state\"");
}

bool IsIdleStateEvent(const std::string& payload) {
    return IsStateEvent(payload) && Contains(payload, "\"state\":\"idle\"");
}

bool IsTunReadyEvent(const std::string& payload) {
    return payload.size() >= 19 && Contains(payload, "\"event\":\"tun_ready\"");
}

long long ReadTunReadyGeneration(const std::string& payload) {
    static constexpr char kKey[] = "\"generation\":";
    std::size_t pos = payload.find(kKey);
    if (pos == std::string::npos) return 0;
    pos += sizeof(kKey) - 1;
    while (pos < payload.size() && IsClassicSpace(payload[pos])) ++pos;
    bool negative = false;
    if (pos < payload.size() && (payload[pos] == '-' || payload[pos] == '+')) {
        negative = payload[pos] == '-';
        ++pos;
    }
    // Accumulate the magnitude unsigned so that the most negative value still fits.
    const std::uint64_t limit = negative ? std::uint64_t{std::numeric_limits<long long>::max()} + 1
                                         : std::uint64_t{std::numeric_limits<long long>::max()};
    std::uint64_t magnitude = 0;
    bool any_digit = false;
    for (; pos < payload.size() && payload[pos] >= '0' && payload[pos] <= '9'; ++pos) {
        const unsigned digit = static_cast<unsigned>(payload[pos] - '0');
        if (magnitude > (limit - digit) / 10) return 0;
        magnitude = magnitude * 10 + digit;
        any_digit = true;
    }
    if (!any_digit) return 0;
    if (!negative) return static_cast<long long>(magnitude);
    if (magnitude == limit) return std::numeric_limits<long long>::min();
    return -static_cast<long long>(magnitude);
}

LineDecision DecideInputLine(const std::string& line) {
    BrokerCommand cmd;
    std::string error;
    if (!ParseBrokerCommand(line, cmd, error)) return {false, ClientErrorCode(error)};
    // A version mismatch has no reader error name, which the code rule turns into "protocol".
    if (cmd.protocol_version != kProtocolVersion) return {false, ClientErrorCode(std::string())};
    return {true, std::string()};
}

}  // namespace vantorel
