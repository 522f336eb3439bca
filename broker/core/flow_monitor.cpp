#include <algorithm>
#include <set>
#include <utility>

#include "broker/core/tunnel_controller.h"
#include "broker/portable/flow_response.h"

namespace vantorel {

namespace {

constexpr std::uint64_t kPollIntervalMs = 5000;
constexpr std::uint64_t kSummaryIntervalMs = 15000;
constexpr std::uint64_t kBusyConnectionBytes = 65536;

void EndQuietStretch(StallStats& stats) {
    if (stats.quiet_ms == 0) return;
    stats.stalls += 1;
    stats.stall_ms = std::max(stats.stall_ms, stats.quiet_ms);
    stats.quiet_ms = 0;
}

}  // namespace

std::uint32_t TunnelController::group_index(const FlowConnection& connection) {
    std::string& key = flow_.group_key;
    key.assign(connection.network);
    key += ':';
    key += connection.chain;
    const auto known = flow_.groups.find(key);
    if (known != flow_.groups.end()) return known->second;
    const auto index = static_cast<std::uint32_t>(flow_.group_names.size());
    flow_.groups.emplace(key, index);
    flow_.group_names.push_back(key);
    flow_.poll_up.push_back(0);
    flow_.poll_down.push_back(0);
    flow_.poll_matched.push_back(false);
    flow_.live.push_back(0);
    return index;
}

std::uint64_t TunnelController::live_connections(const std::string& group) const {
    const auto known = flow_.groups.find(group);
    return known == flow_.groups.end() ? 0 : flow_.live[known->second];
}

std::size_t TunnelController::flow_connections_tracked() const { return flow_.previous.size(); }

void TunnelController::reset_flow_monitor() {
    flow_probe_.reset();
    flow_ = FlowMonitorState{};
}

void TunnelController::poll_flows() {
    if (!flow_probe_) return;
    const std::uint64_t now = clock_ms_();
    // last_poll_ms 0 means "never polled", which also forces the final reading.
    if (flow_.last_poll_ms != 0 && now - flow_.last_poll_ms < kPollIntervalMs) return;
    const std::uint64_t elapsed = flow_.last_poll_ms == 0 ? kPollIntervalMs : now - flow_.last_poll_ms;
    flow_.last_poll_ms = now;

    const long long gen = generation();
    FlowSample sample;
    if (!flow_probe_->poll(sample)) {
        if (!flow_.api_unreachable_logged) {
            flow_.api_unreachable_logged = true;
            log_.write(gen, "flow", "api_unreachable", flow_probe_->last_error());
        }
        return;
    }
    flow_.api_unreachable_logged = false;
    if (sample.missing_ids != 0 && !flow_.missing_id_logged) {
        flow_.missing_id_logged = true;
        log_.write(gen, "flow", "no_connection_id", 0);
    }

    const std::uint64_t poll = ++flow_.polls;
    std::fill(flow_.poll_up.begin(), flow_.poll_up.end(), 0);
    std::fill(flow_.poll_down.begin(), flow_.poll_down.end(), 0);
    std::fill(flow_.poll_matched.begin(), flow_.poll_matched.end(), false);
    for (FlowConnection& connection : sample.connections) {
        if (connection.id.empty()) continue;
        const std::uint32_t group = group_index(connection);
        // The id is moved in only when it is new; the texts the log may need stay.
        auto [entry, is_new] = flow_.previous.try_emplace(std::move(connection.id));
        FlowSeen& seen = entry->second;
        if (is_new) {
            seen.group = group;
            seen.upload = connection.upload;
            seen.download = connection.download;
            seen.seen_in_poll = poll;
            seen.had_before = false;
        } else if (seen.seen_in_poll != poll) {
            seen.had_before = true;
            seen.before_group = seen.group;
            seen.before_upload = seen.upload;
            seen.before_download = seen.download;
            seen.group = group;
            seen.upload = connection.upload;
            seen.download = connection.download;
            seen.seen_in_poll = poll;
        }
        // Growth against the previous poll; new ids, moved groups and counters that went
        // backwards count nothing.
        if (seen.had_before && seen.before_group == group && connection.upload >= seen.before_upload &&
            connection.download >= seen.before_download) {
            flow_.poll_up[group] += connection.upload - seen.before_upload;
            flow_.poll_down[group] += connection.download - seen.before_download;
            flow_.poll_matched[group] = true;
        }
        if (connection.upload + connection.download >= kBusyConnectionBytes && !seen.reported) {
            seen.reported = true;
            log_.write(gen, "flow_seen",
                       "net=" + sanitize_flow_text(connection.network) +
                           " chain=" + sanitize_flow_text(connection.chain) +
                           " dst=" + sanitize_flow_text(connection.destination) +
                           " proc=" + sanitize_flow_text(connection.process) +
                           " up=" + std::to_string(connection.upload) + " dn=" + std::to_string(connection.download),
                       0);
        }
    }
    // Closed connections leave the table, and with them the memory of having been named.
    std::fill(flow_.live.begin(), flow_.live.end(), 0);
    for (auto entry = flow_.previous.begin(); entry != flow_.previous.end();) {
        if (entry->second.seen_in_poll != poll) {
            entry = flow_.previous.erase(entry);
            continue;
        }
        flow_.live[entry->second.group] += 1;
        ++entry;
    }

    for (std::uint32_t group = 0; group < flow_.group_names.size(); ++group) {
        if (!flow_.poll_matched[group]) continue;
        const std::string& name = flow_.group_names[group];
        flow_.total_up[name] += flow_.poll_up[group];
        flow_.window_up[name] += flow_.poll_up[group];
        flow_.total_down[name] += flow_.poll_down[group];
        flow_.window_down[name] += flow_.poll_down[group];
    }

    for (const auto& [name, group] : flow_.groups) {
        if (flow_.live[group] == 0) continue;
        StallStats& stats = flow_.stall_stats[name];
        if (!stats.seen) {
            stats.seen = true;
            continue;
        }
        if (flow_.poll_up[group] + flow_.poll_down[group] > 0) {
            EndQuietStretch(stats);
        } else {
            stats.quiet_ms += elapsed;
            flow_.worst_quiet_ms = std::max(flow_.worst_quiet_ms, stats.quiet_ms);
        }
    }
    for (auto& [name, stats] : flow_.stall_stats) {
        if (live_connections(name) == 0) EndQuietStretch(stats);
    }
    flow_.window_ms += elapsed;

    if (flow_.last_summary_ms == 0 || now - flow_.last_summary_ms >= kSummaryIntervalMs) {
        flow_.last_summary_ms = now;
        log_flow_rates();
        log_flow_totals("flow_summary");
    }
}

void TunnelController::log_flow_rates() {
    const std::uint64_t window_s = flow_.window_ms / 1000;

    std::string text =
        "win_ms=" + std::to_string(flow_.window_ms) + " worst_quiet_ms=" + std::to_string(flow_.worst_quiet_ms);
    bool any_group = false;
    for (const auto& [group, stats] : flow_.stall_stats) {
        const std::uint64_t live_now = live_connections(group);
        if (live_now == 0 && stats.stalls == 0 && stats.quiet_ms == 0) continue;
        const auto down = flow_.window_down.find(group);
        const auto up = flow_.window_up.find(group);
        const std::uint64_t down_kib = down == flow_.window_down.end() ? 0 : down->second / 1024;
        const std::uint64_t up_kib = up == flow_.window_up.end() ? 0 : up->second / 1024;
        const std::uint64_t dn_kbps = window_s == 0 ? 0 : down_kib / window_s;
        const std::uint64_t up_kbps = window_s == 0 ? 0 : up_kib / window_s;
        text += " " + sanitize_flow_text(group) + "=dn_kbps:" + std::to_string(dn_kbps) +
                "/up_kbps:" + std::to_string(up_kbps) + " stall_ms:" + std::to_string(stats.stall_ms) +
                " stalls:" + std::to_string(stats.stalls) + " quiet_ms:" + std::to_string(stats.quiet_ms) +
                " live:" + std::to_string(live_now);
        any_group = true;
    }
    if (any_group) log_.write(generation(), "flow_rate", text, 0);

    flow_.window_up.clear();
    flow_.window_down.clear();
    flow_.window_ms = 0;
    for (auto entry = flow_.stall_stats.begin(); entry != flow_.stall_stats.end();) {
        entry->second.stall_ms = 0;
        entry->second.stalls = 0;
        if (live_connections(entry->first) == 0) {
            entry = flow_.stall_stats.erase(entry);
        } else {
            ++entry;
        }
    }
}

void TunnelController::log_flow_totals(const char* event) {
    // Groups come from both maps: a group that only uploaded must not vanish from the line.
    std::set<std::string> groups;
    bool grew = false;
    for (const auto& [group, bytes] : flow_.total_down) {
        groups.insert(group);
        grew = grew || bytes != 0;
    }
    for (const auto& [group, bytes] : flow_.total_up) {
        groups.insert(group);
        grew = grew || bytes != 0;
    }
    if (!grew) return;
    std::string text;
    for (const std::string& group : groups) {
        const auto down = flow_.total_down.find(group);
        const auto up = flow_.total_up.find(group);
        if (!text.empty()) text += " ";
        text += sanitize_flow_text(group) + "=dn:" +
                std::to_string(down == flow_.total_down.end() ? 0 : down->second) +
                "/up:" + std::to_string(up == flow_.total_up.end() ? 0 : up->second);
    }
    log_.write(generation(), event, text, 0);
}

}  // namespace vantorel
