#pragma once
// The flow monitor of a connected session: polls the engine's control API, logs busy
// connections, traffic rates with stalls, and totals. Only the worker thread uses it. Its
// tables are kept between polls and updated in place: a connection that lives on costs no
// allocation per poll.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "broker/contracts/platform_services.h"

namespace vantorel {

class FlowMonitor {
public:
    explicit FlowMonitor(TunnelLog& log) : log_(log) {}

    // A new session: fresh tables, and the probe of its engine (none: nothing is polled).
    void start(std::unique_ptr<FlowProbe> probe);
    bool active() const { return probe_ != nullptr; }
    // Polls when the poll interval has passed since the last one, and writes the summary
    // lines when their interval has passed.
    void poll(long long generation, std::uint64_t now_ms);
    // The session ends: one last reading, whatever the interval, then the totals.
    void finish(long long generation, std::uint64_t now_ms);
    // Connections held from the last poll.
    std::size_t connections_tracked() const { return connections_.size(); }

private:
    struct StallStats {
        bool seen = false;
        std::uint64_t quiet_ms = 0;
        std::uint64_t stall_ms = 0;
        std::uint64_t stalls = 0;
    };

    // One traffic group ("network:chain"). Groups are few (one per engine outbound and
    // network) and kept for the session.
    struct Group {
        std::string name;
        std::uint64_t poll_up = 0;
        std::uint64_t poll_down = 0;
        bool poll_matched = false;  // some connection of the group was compared this poll
        std::uint64_t live = 0;     // its connections in the table
        bool counted = false;       // compared in some poll: listed in the totals
        std::uint64_t total_up = 0;
        std::uint64_t total_down = 0;
        std::uint64_t window_up = 0;
        std::uint64_t window_down = 0;
        bool watched = false;  // has stall figures: live since the last summary
        StallStats stall;
    };

    // One live connection, under its id. The reading of the previous poll is kept beside the
    // new one while a poll runs, so an id listed twice in one sample is judged against the
    // previous poll both times, and the first listing is the one kept.
    struct Seen {
        std::uint32_t group = 0;
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

    void read(long long generation, std::uint64_t now_ms);
    std::uint32_t group_index(const FlowConnection& connection);
    void count(long long generation, std::uint64_t poll, FlowConnection& connection);
    void forget_closed(std::uint64_t poll);
    void update_stalls(std::uint64_t elapsed);
    void log_rates(long long generation);
    void log_totals(long long generation, const char* event);

    TunnelLog& log_;
    std::unique_ptr<FlowProbe> probe_;
    std::uint64_t last_poll_ms_ = 0;  // 0: never polled
    std::uint64_t last_summary_ms_ = 0;
    std::uint64_t polls_ = 0;  // successful polls; numbers Seen::seen_in_poll
    std::unordered_map<std::string, Seen> connections_;
    // Groups in byte order of their names; records by index.
    std::map<std::string, std::uint32_t, std::less<>> group_by_name_;
    std::vector<Group> groups_;
    std::string group_key_;  // scratch for building a group name
    std::uint64_t window_ms_ = 0;
    std::uint64_t worst_quiet_ms_ = 0;
    bool api_unreachable_logged_ = false;
    bool missing_id_logged_ = false;
};

}  // namespace vantorel
