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
