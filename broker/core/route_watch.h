#pragma once
// What the watch makes of the route table while connected: the capture rows the ledger holds,
// and routes that appeared on other interfaces since the connect and would take traffic past
// the tunnel (a DHCP option 121 route, a router advertisement after IPv6 was left uncaptured).

#include <string>
#include <vector>

#include "broker/contracts/platform_records.h"

namespace vantorel {

enum class RouteVerdict { intact, capture_lost, network_changed };

struct RouteJudgement {
    RouteVerdict verdict = RouteVerdict::intact;
    std::string route;  // the row that decided, "destination/prefix"
};

// `at_connect`: the table as the connect left it; `capture`: the capture rows of the ledger.
RouteJudgement JudgeRoutes(const std::vector<CaptureRoute>& capture, const std::vector<RouteRow>& at_connect,
                           const std::vector<RouteRow>& now);

// 16 bytes, IPv4 in the last four (as ::ffff:a.b.c.d); false for text that is neither.
bool ParseAddress(const std::string& text, unsigned char out[16], bool& v6);

}  // namespace vantorel
