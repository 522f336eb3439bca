#pragma once
// The filters a session asks for, from what the connect has learnt.

#include <string>

#include "broker/core/platform_records.h"

namespace vantorel {

// The private and link-local ranges the engine configuration sends direct. DNS is not yet held
// to the tunnel: the tunnel has no resolver of its own for the host.
FirewallPolicy SessionFirewallPolicy(const AdapterInfo& tun, const std::string& server_ipv4);

}  // namespace vantorel
