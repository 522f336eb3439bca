#pragma once
// What a connect does when the TUN adapter takes the IPv4 capture routes but no IPv6 ones (IPv6
// disabled on the host, or unbound from the adapter).

#include <cstdint>
#include <vector>

#include "broker/contracts/platform_records.h"

namespace vantorel {

// The capture failed exactly at its first IPv6 route, both IPv4 halves in place, with an error
// that says the interface takes no IPv6 routes (1168, or 50 without an IPv6 stack).
bool FailedOnlyForIpv6(const std::vector<CaptureRoute>& installed, std::uint32_t error);

enum class Ipv6CaptureOutcome {
    ipv4_only,   // no IPv6 default route anywhere: nothing can leak, go on without IPv6 capture
    would_leak,  // IPv6 has a way out that the tunnel cannot cover: the connect fails
    unknown,     // the routing table could not be read: fail rather than guess
};

Ipv6CaptureOutcome DecideIpv6Capture(bool presence_known, bool ipv6_default_present);

// The "routes" log code of each outcome.
const char* Ipv6CaptureLogCode(Ipv6CaptureOutcome outcome);

}  // namespace vantorel
