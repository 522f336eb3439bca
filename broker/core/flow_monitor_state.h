#pragma once
// Per-session tables of the flow monitor. Only the worker thread touches them. They are kept
// between polls and updated in place: a connection that lives on costs no allocation per poll.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantorel {

// One live connection, under its id. The reading of the previous poll is kept beside the new
// one while a poll runs, so an id listed twice in one sample is judged against the previous
// poll both times, and the first listing is the one kept.
struct FlowSeen {
    std::uint32_t group = 0;  // index into FlowMonitorState::group_names
    std::uint64_t upload = 0;
    std::uint64_t download = 0;
    std::uint64_t seen_in_poll = 0;
    bool had_before = false;
    std::uint32_t before_group = 0;
    std::uint64_t before_upload = 0;
    std::uint64_t before_download = 0;
    // Named in a "flow_seen" line; forgotten with the entry once the connection has closed.
    bool reported = false;
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
    std::uint64_t polls = 0;  // successful polls; numbers FlowSeen::seen_in_poll
    // The connections of the last successful poll.
    std::unordered_map<std::string, FlowSeen> previous;
    // Traffic groups ("network:chain") by name, in byte order, and their per-poll figures by
    // index. Groups are few (one per engine outbound and network) and kept for the session.
    std::map<std::string, std::uint32_t, std::less<>> groups;
    std::vector<std::string> group_names;
    std::vector<std::uint64_t> poll_up;
    std::vector<std::uint64_t> poll_down;
    std::vector<bool> poll_matched;  // some connection of the group was compared this poll
    std::vector<std::uint64_t> live;  // connections of the group in `previous`
    std::string group_key;            // scratch for building a group name
    std::map<std::string, std::uint64_t> total_up;
    std::map<std::string, std::uint64_t> total_down;
    std::map<std::string, std::uint64_t> window_up;
    std::map<std::string, std::uint64_t> window_down;
    std::map<std::string, StallStats> stall_stats;
    std::uint64_t window_ms = 0;
    std::uint64_t worst_quiet_ms = 0;
    bool api_unreachable_logged = false;
    bool missing_id_logged = false;
};

}  // namespace vantorel
