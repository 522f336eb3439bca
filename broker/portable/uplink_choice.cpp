#include "broker/portable/uplink_choice.h"

#include <limits>

namespace vantorel {
namespace {

bool IsHardwareDefault(const UplinkRow& row) {
    return row.interface_known && row.prefix_length == 0 && row.hardware && row.up && !row.own;
}

bool MayStandInForHardware(const UplinkRow& row) { return row.if_type == kIfTypePpp || row.if_type == kIfTypeEthernet; }

}  // namespace

std::vector<bool> PhysicalUplinks(const std::vector<UplinkRow>& rows) {
    bool hardware_default = false;
    for (const UplinkRow& row : rows) hardware_default = hardware_default || IsHardwareDefault(row);
    std::vector<bool> physical;
    physical.reserve(rows.size());
    for (const UplinkRow& row : rows) {
        bool uplink = false;
        if (row.interface_known && !row.own) {
            uplink = row.hardware || (!hardware_default && MayStandInForHardware(row));
        }
        physical.push_back(uplink);
    }
    return physical;
}

std::vector<std::uint32_t> EffectiveMetrics(const std::vector<UplinkRow>& rows) {
    bool all_known = true;
    for (const UplinkRow& row : rows) {
        if (row.interface_known && !row.has_interface_metric) all_known = false;
    }
    std::vector<std::uint32_t> metrics;
    metrics.reserve(rows.size());
    for (const UplinkRow& row : rows) {
        std::uint64_t metric = row.route_metric;
        if (all_known && row.has_interface_metric) metric += row.interface_metric;
        metrics.push_back(metric > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                                             : static_cast<std::uint32_t>(metric));
    }
    return metrics;
}

int ChoosePhysicalRoute(const std::vector<UplinkRow>& rows) {
    const std::vector<bool> physical = PhysicalUplinks(rows);
    const std::vector<std::uint32_t> metrics = EffectiveMetrics(rows);
    int best = -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const UplinkRow& row = rows[i];
        if (row.prefix_length != 0 || !physical[i] || !row.up || row.own) continue;
        // Strictly lower: the earlier row in the system's order wins a tie.
        if (best < 0 || metrics[i] < metrics[static_cast<std::size_t>(best)]) best = static_cast<int>(i);
    }
    if (best >= 0 && !rows[static_cast<std::size_t>(best)].next_hop_ipv4) return -1;
    return best;
}

}  // namespace vantorel

namespace vantorel {
namespace {

// Four decimal octets 0..255, nothing else; the value in host order.
bool ParseIpv4(const std::string& text, std::uint32_t& value) {
    value = 0;
    std::size_t at = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        const std::size_t start = at;
        unsigned part = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            part = part * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        if (at == start || part > 255) return false;
        value = (value << 8) | part;
    }
    return at == text.size();
}

bool SameAddress(std::uint32_t value, const std::string& other) {
    std::uint32_t parsed = 0;
    return ParseIpv4(other, parsed) && parsed == value;
}

}  // namespace

ServerAddressVerdict JudgeServerAddress(const std::string& ipv4, const std::string& gateway,
                                        const std::vector<std::string>& own) {
    std::uint32_t value = 0;
    if (!ParseIpv4(ipv4, value)) return ServerAddressVerdict::unparsable;
    const std::uint32_t first = value >> 24;
    if (first == 0) return ServerAddressVerdict::unspecified;  // 0.0.0.0/8, "this network"
    if (first == 127) return ServerAddressVerdict::loopback;
    if (first >= 224 && first <= 239) return ServerAddressVerdict::multicast;
    if (value == 0xFFFFFFFFu) return ServerAddressVerdict::broadcast;
    if (SameAddress(value, gateway)) return ServerAddressVerdict::gateway;
    for (const std::string& address : own) {
        if (SameAddress(value, address)) return ServerAddressVerdict::own_address;
    }
    return ServerAddressVerdict::server;
}

const char* ServerAddressVerdictName(ServerAddressVerdict verdict) {
    switch (verdict) {
        case ServerAddressVerdict::server:
            return "server";
        case ServerAddressVerdict::unparsable:
            return "unparsable";
        case ServerAddressVerdict::unspecified:
            return "unspecified";
        case ServerAddressVerdict::loopback:
            return "loopback";
        case ServerAddressVerdict::multicast:
            return "multicast";
        case ServerAddressVerdict::broadcast:
            return "broadcast";
        case ServerAddressVerdict::gateway:
            return "gateway";
        case ServerAddressVerdict::own_address:
            return "own_address";
    }
    return "unparsable";
}

}  // namespace vantorel
