#pragma once
// Which IPv4 default route is the physical uplink, and with what metric Windows ranks it. Plain
// values, so the choice is checked without Windows; the route table fills the rows from the
// system's route and interface tables.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel {

// Interface types (IANA ifType) that can carry a host's own uplink without being a hardware
// interface: a PPP link (PPPoE, dial-up) and an Ethernet-type virtual adapter (a Hyper-V
// vEthernet bound to an external switch, a network bridge).
inline constexpr std::uint32_t kIfTypeEthernet = 6;
inline constexpr std::uint32_t kIfTypePpp = 23;

// One IPv4 route of prefix length 0 or 1, with what is known of its interface.
struct UplinkRow {
    int prefix_length = 0;
    bool interface_known = false;  // the interface row could be read
    bool hardware = false;         // HardwareInterface
    std::uint32_t if_type = 0;
    bool up = false;
    bool own = false;  // an own adapter name
    std::uint32_t route_metric = 0;
    bool has_interface_metric = false;
    std::uint32_t interface_metric = 0;
    bool next_hop_ipv4 = false;
};

// Whether each row's interface is a physical uplink. A hardware interface always is. When no
// hardware interface that is up holds a default route, a PPP or Ethernet-type interface is
// taken for the uplink instead: such a host reaches the world over PPPoE or a virtual switch,
// and calling that uplink a foreign tunnel would refuse every connect. Tunnel-type and other
// virtual interfaces (Wintun, WireGuard, IP tunnels, loopback) never are; own adapters never are.
std::vector<bool> PhysicalUplinks(const std::vector<UplinkRow>& rows);

// The metric Windows ranks each route by: route metric plus interface metric. When the
// interface metric of any row with a known interface is missing (the system could not say),
// every row falls back to its route metric alone, so that the rows stay comparable.
std::vector<std::uint32_t> EffectiveMetrics(const std::vector<UplinkRow>& rows);

// The default route (prefix length 0) for the pin route: a physical uplink that is up and not
// ours, lowest effective metric, the earlier row winning a tie; -1 when there is none or its
// next hop is not IPv4.
int ChoosePhysicalRoute(const std::vector<UplinkRow>& rows);

}  // namespace vantorel

namespace vantorel {

// Why a resolved server address cannot be a proxy server reached over the uplink; `server`
// when it can. A pin route to any of these would send the engine's traffic to this host, to
// the local network's router or nowhere, never to a server.
enum class ServerAddressVerdict {
    server,
    unparsable,
    unspecified,
    loopback,
    multicast,
    broadcast,
    gateway,
    own_address
};

// `ipv4`: the dotted address the server name resolved to. `gateway`: the uplink's next hop
// (empty when unknown). `own`: the host's own IPv4 addresses.
ServerAddressVerdict JudgeServerAddress(const std::string& ipv4, const std::string& gateway,
                                        const std::vector<std::string>& own);
// The verdict's log word: "unspecified", "loopback", ...
const char* ServerAddressVerdictName(ServerAddressVerdict verdict);

}  // namespace vantorel
