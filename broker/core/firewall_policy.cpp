#include "broker/core/firewall_policy.h"

namespace vantorel {

FirewallPolicy SessionFirewallPolicy(const AdapterInfo& tun, const std::string& server_ipv4) {
    FirewallPolicy policy;
    policy.tun_luid = tun.luid;
    policy.server_ipv4 = server_ipv4;
    // The engine's direct rule: traffic to these that leaves by the physical link (an on-link
    // subnet beats the capture routes) is sent direct by design, not a leak.
    policy.direct_subnets = {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "fc00::/7", "fe80::/10"};
    policy.dns_only_through_tunnel = true;
    return policy;
}

}  // namespace vantorel
