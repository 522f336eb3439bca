#include "tests/wine/route_shim/route_rows.h"

#include "tests/wine/route_shim/builtin.h"

namespace vantorel::route_shim {
namespace {

int FamilyBits(ADDRESS_FAMILY family) {
    if (family == AF_INET) return 32;
    if (family == AF_INET6) return 128;
    return 0;
}

}  // namespace

std::uint32_t CheckRouteRow(const MIB_IPFORWARD_ROW2* row, RouteWrite write) {
    if (row == nullptr) return ERROR_INVALID_PARAMETER;
    const ADDRESS_FAMILY family = row->DestinationPrefix.Prefix.si_family;
    const int bits = FamilyBits(family);
    if (bits == 0) return ERROR_INVALID_PARAMETER;  // no destination given
    if (row->DestinationPrefix.PrefixLength > bits) return ERROR_INVALID_PARAMETER;
    if (row->NextHop.si_family != family) return ERROR_INVALID_PARAMETER;  // no next hop given
    if (row->InterfaceLuid.Value == 0 && row->InterfaceIndex == 0) return ERROR_INVALID_PARAMETER;
    if (write == RouteWrite::create) {
        if (row->PreferredLifetime > row->ValidLifetime) return ERROR_INVALID_PARAMETER;
        if (row->SitePrefixLength != kUnsetSitePrefixLength &&
            row->SitePrefixLength > row->DestinationPrefix.PrefixLength)
            return ERROR_INVALID_PARAMETER;
    }
    return NO_ERROR;
}

std::string AddressText(const SOCKADDR_INET& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* bytes = address.si_family == AF_INET6 ? static_cast<const void*>(&address.Ipv6.sin6_addr)
                                                      : static_cast<const void*>(&address.Ipv4.sin_addr);
    if (inet_ntop(address.si_family, const_cast<void*>(bytes), text, sizeof(text)) == nullptr) return std::string();
    return text;
}

std::string RouteRequestLine(const char* verb, const MIB_IPFORWARD_ROW2& row, std::uint32_t index) {
    const bool ipv6 = row.DestinationPrefix.Prefix.si_family == AF_INET6;
    const ULONG metric = row.Metric == kUnsetMetric ? 0 : row.Metric;
    return std::string(verb) + " family=" + (ipv6 ? "6" : "4") +
           " destination=" + AddressText(row.DestinationPrefix.Prefix) +
           " prefix=" + std::to_string(row.DestinationPrefix.PrefixLength) + " next_hop=" + AddressText(row.NextHop) +
           " index=" + std::to_string(index) + " metric=" + std::to_string(metric);
}

}  // namespace vantorel::route_shim
