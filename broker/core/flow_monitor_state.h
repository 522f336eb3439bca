#pragma once
// Per-session tables of the flow monitor. Only the worker thread touches them.

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace vantorel {

struct FlowSeen {
    std::string group;
    std::uint64_t upload = 0;
    std::uint64_t download = 0;
};

struct StallStats {
    bool seen = false;
    std::uint64_t quiet_ms = 0;
    std::uint64_t stall_ms = 0;
    std::uint64_t stalls = 0;
};

struct FlowMonitorState {
    std::uint64_t last_poll_ms = 0;
    std::uint64_t last_summary_ms = 0;
    std::map<std::string, FlowSeen> previous;
    std::map<std::string, std::uint64_t> total_up;
    std::map<std::string, std::uint64_t> total_down;
    std::map<std::string, std::uint64_t> window_up;
    std::map<std::string, std::uint64_t> window_down;
    std::map<std::string, StallStats> stall_stats;
    std::uint64_t window_ms = 0;
    std::uint64_t worst_quiet_ms = 0;
    std::set<std::string> reported;
    bool api_unreachable_logged = false;
    bool missing_id_logged = false;
};

}  // namespace vantorel
