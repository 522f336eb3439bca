#pragma once
// Plain records that cross the platform service interfaces.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel {

// Host route to the proxy server through the physical gateway.
struct PinRoute {
    std::string destination;
    std::uint64_t interface_luid = 0;
    std::uint32_t interface_index = 0;
    std::uint32_t physical_index = 0;
    std::string next_hop;
    std::uint32_t metric = 0;
};

struct AdapterInfo {
    std::string name;
    std::string guid;
    std::uint64_t luid = 0;
    std::uint32_t index = 0;
    bool up = false;
};

// Who holds an interface LUID now. LUIDs are not persistent: once an adapter of ours is gone,
// another adapter (another Wintun one, say) can be given the same value.
enum class InterfaceHolder { none, own, other };

struct CaptureRoute {
    std::string destination;
    int prefix_length = 0;
    std::uint64_t interface_luid = 0;
    std::uint32_t interface_index = 0;
};

// What the session's filters let out besides the tunnel. Loopback, DHCP, neighbour discovery
// and the engine process itself are let out by every implementation.
struct FirewallPolicy {
    std::uint64_t tun_luid = 0;
    std::string server_ipv4;                  // the engine's own connection to the proxy server
    std::vector<std::string> direct_subnets;  // "10.0.0.0/8", "fe80::/10", ...
    // DNS leaves only through the tunnel. Only with a resolver on the tunnel: without one, the
    // host's on-link resolver (the home router) is its only one, and blocking it would leave
    // the host without names.
    bool dns_only_through_tunnel = false;
};

// One IPv4 or IPv6 route of the system's table, by the interface it leaves through.
struct RouteRow {
    std::string destination;  // "192.168.1.0", "fe80::", ...
    int prefix_length = 0;
    std::uint64_t interface_luid = 0;
    bool own = false;  // the interface carries an own adapter name
};

struct DefaultRouteInfo {
    std::string interface_alias;
    bool physical = false;
    bool up = false;
    bool own = false;
    int prefix_length = 0;
    std::uint32_t destination = 0;  // host byte order
    std::uint32_t metric = 0;
};

struct FlowConnection {
    std::string id;
    std::string network;
    std::string chain;
    std::string destination;
    std::string process;
    std::uint64_t upload = 0;
    std::uint64_t download = 0;
};

struct FlowSample {
    std::vector<FlowConnection> connections;
    std::uint64_t missing_ids = 0;
};

}  // namespace vantorel
