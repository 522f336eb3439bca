#include "broker/core/foreign_tunnel.h"

#include <map>

namespace vantorel {

namespace {

bool IsPlainDefault(const DefaultRouteInfo& route) {
    return route.up && !route.own && route.prefix_length == 0 && route.destination == 0;
}

}  // namespace

std::string find_foreign_tunnel(const std::vector<DefaultRouteInfo>& routes) {
    bool have_physical = false;
    std::uint32_t best_physical = 0;
    for (const DefaultRouteInfo& route : routes) {
        if (IsPlainDefault(route) && route.physical && (!have_physical || route.metric < best_physical)) {
            have_physical = true;
            best_physical = route.metric;
        }
    }

    const DefaultRouteInfo* ahead = nullptr;
    for (const DefaultRouteInfo& route : routes) {
        if (!IsPlainDefault(route) || route.physical || route.interface_alias.empty()) continue;
        if (have_physical && route.metric >= best_physical) continue;
        if (ahead == nullptr || route.metric < ahead->metric) ahead = &route;
    }
    if (ahead != nullptr) return ahead->interface_alias;

    // A tunnel that splits the address space into two /1 halves wins over any default route.
    std::map<std::string, int> halves;
    for (const DefaultRouteInfo& route : routes) {
        if (!route.up || route.own || route.physical || route.interface_alias.empty()) continue;
        if (route.prefix_length != 1) continue;
        int& marks = halves[route.interface_alias];
        if (route.destination == 0) marks |= 1;
        if (route.destination == 0x80000000u) marks |= 2;
    }
    for (const auto& [alias, marks] : halves) {
        if (marks == 3) return alias;
    }
    return std::string();
}

}  // namespace vantorel
