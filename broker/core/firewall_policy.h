#pragma once
// The filters a session asks for, from what the connect has learnt.

#include <string>

#include "broker/contracts/platform_records.h"

namespace vantorel {

// The tunnel's DNS server: the far end of the engine's /30 (198.18.0.1/30 in the engine
// configuration). A query to it enters the TUN, where the engine's hijack-dns answers it.
inline constexpr char kTunnelDnsServer[] = "198.18.0.2";

// The private and link-local ranges the engine configuration sends direct; DNS only through the
// tunnel, whose resolver is kTunnelDnsServer.
FirewallPolicy SessionFirewallPolicy(const AdapterInfo& tun, const std::string& server_ipv4);

}  // namespace vantorel
