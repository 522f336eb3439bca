#pragma once
// Another VPN that already carries the default traffic: the connect refuses to stack on it.

#include <string>
#include <vector>

#include "broker/contracts/platform_records.h"

namespace vantorel {

// The alias of the interface that owns the default route ahead of the physical one, or "".
std::string find_foreign_tunnel(const std::vector<DefaultRouteInfo>& routes);

}  // namespace vantorel
