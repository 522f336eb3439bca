#pragma once
// The public endpoint that answers "GET /generate_204" on port 80 with 204. The broker's
// egress check and the controller's proof must ask the same host.

namespace vantorel {

inline constexpr const char kConnectivityCheckHost[] = "connectivitycheck.gstatic.com";

}  // namespace vantorel
