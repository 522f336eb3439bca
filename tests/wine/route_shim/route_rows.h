#pragma once
// What Windows checks in a MIB_IPFORWARD_ROW2 before it looks for the interface, and the
// agent request that carries a checked row.

#include "tests/wine/route_shim/iphlp_headers.h"

#include <cstdint>
#include <string>

namespace vantorel::route_shim {

// InitializeIpForwardEntry leaves these "illegal": CreateIpForwardEntry2 then uses its defaults.
inline constexpr UCHAR kUnsetSitePrefixLength = 0xFF;
inline constexpr ULONG kUnsetMetric = 0xFFFFFFFFu;
inline constexpr int kUnsetProtocol = -1;

enum class RouteWrite { create, remove };

// 0 when the row may go on, else ERROR_INVALID_PARAMETER (87).
std::uint32_t CheckRouteRow(const MIB_IPFORWARD_ROW2* row, RouteWrite write);

// Dotted or colon text of an address of the row's family; empty when it cannot be written.
std::string AddressText(const SOCKADDR_INET& address);

// "route_add family=4 destination=... prefix=... next_hop=... index=... metric=..."
std::string RouteRequestLine(const char* verb, const MIB_IPFORWARD_ROW2& row, std::uint32_t index);

}  // namespace vantorel::route_shim
