#pragma once
// The links of the namespace as the route agent reports them, after every emulated adapter
// whose holder process has ended (as Windows reports it) has been removed. An engine's adapter
// thereby disappears the moment the engine's process is seen to end, never later, whatever
// killed the process and however late the agent noticed its connection closing.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/wine/route_shim/agent_link.h"

namespace vantorel::route_shim {

struct LinkState {
    std::uint32_t index = 0;
    std::string name;
    std::string kind;  // "ether", "loopback" or "tunnel"
    bool up = false;
    std::uint32_t mtu = 0;
    bool ipv6 = false;
    std::uint32_t metric = 0;  // the interface metric the agent reports for the link
};

struct AgentView {
    std::vector<LinkState> links;
    const LinkState* find(std::uint32_t index) const;
};

// False when the agent cannot be asked; callers then behave like Wine's builtin alone.
bool ReadAgentView(AgentLink& link, AgentView& view);

// One connection to the agent and the view read through it when made.
struct AgentSession {
    AgentLink link;
    AgentView view;
    bool reachable;
    AgentSession() : reachable(ReadAgentView(link, view)) {}
};

// Whether the process `pid` created at `created` (FILETIME as a number) is still running.
bool HolderRunning(std::uint32_t pid, std::uint64_t created);

}  // namespace vantorel::route_shim
