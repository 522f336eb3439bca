#include <algorithm>
#include <set>

#include "broker/core/tunnel_controller.h"
#include "broker/portable/flow_response.h"

namespace vantorel {

namespace {

constexpr std::uint64_t kPollIntervalMs = 5000;
constexpr std::uint64_t kSummaryIntervalMs = 15000;
constexpr std::uint64_t kBusyConnectionBytes = 65536;

std::string GroupOf(const FlowConnection& connection) {
    return connection.network + ":" + connection.chain;
}

void EndQuietStretch(StallStats& stats) {
    if (stats.quiet_ms == 0) return;
    stats.stalls += 1;
    stats.stall_ms = std::max(stats.stall_ms, stats.quiet_ms);
    stats.quiet_ms = 0;
}

}  // namespace

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

    std::map<std::string, FlowSeen> current;
    std::map<std::string, std::uint64_t> up_delta;
    std::map<std::string, std::uint64_t> down_delta;
    for (const FlowConnection& connection : sample.connections) {
        if (connection.id.empty()) continue;
        const std::string group = GroupOf(connection);
        const auto before = flow_.previous.find(connection.id);
        if (before != flow_.previous.end() && before->second.group == group &&
            connection.upload >= before->second.upload && connection.download >= before->second.download) {
            up_delta[group] += connection.upload - before->second.upload;
            down_delta[group] += connection.download - before->second.download;
        }
        current.emplace(connection.id, FlowSeen{group, connection.upload, connection.download});
    }
    flow_.previous = std::move(current);

    std::map<std::string, std::uint64_t> poll_delta;
    for (const auto& [group, bytes] : up_delta) {
        flow_.total_up[group] += bytes;
        flow_.window_up[group] += bytes;
        poll_delta[group] += bytes;
    }
    for (const auto& [group, bytes] : down_delta) {
        flow_.total_down[group] += bytes;
        flow_.window_down[group] += bytes;
        poll_delta[group] += bytes;
    }

    std::set<std::string> live_groups;
    for (const auto& [id, seen] : flow_.previous) live_groups.insert(seen.group);
    for (const std::string& group : live_groups) {
        StallStats& stats = flow_.stall_stats[group];
        if (!stats.seen) {
            stats.seen = true;
            continue;
        }
        const auto moved = poll_delta.find(group);
        if (moved != poll_delta.end() && moved->second > 0) {
            EndQuietStretch(stats);
        } else {
            stats.quiet_ms += elapsed;
            flow_.worst_quiet_ms = std::max(flow_.worst_quiet_ms, stats.quiet_ms);
        }
    }
    for (auto& [group, stats] : flow_.stall_stats) {
        if (live_groups.count(group) == 0) EndQuietStretch(stats);
    }
    flow_.window_ms += elapsed;

    for (const FlowConnection& connection : sample.connections) {
        if (connection.id.empty() || connection.upload + connection.download < kBusyConnectionBytes) continue;
        if (!flow_.reported.insert(connection.id).second) continue;
        log_.write(gen, "flow_seen",
                   "net=" + sanitize_flow_text(connection.network) + " chain=" + sanitize_flow_text(connection.chain) +
                       " dst=" + sanitize_flow_text(connection.destination) +
                       " proc=" + sanitize_flow_text(connection.process) +
                       " up=" + std::to_string(connection.upload) + " dn=" + std::to_string(connection.download),
                   0);
    }

    if (flow_.last_summary_ms == 0 || now - flow_.last_summary_ms >= kSummaryIntervalMs) {
        flow_.last_summary_ms = now;
        log_flow_rates();
        log_flow_totals("flow_summary");
    }
}

void TunnelController::log_flow_rates() {
    const std::uint64_t window_s = flow_.window_ms / 1000;
    std::map<std::string, std::uint64_t> live_count;
    for (const auto& [id, seen] : flow_.previous) live_count[seen.group] += 1;

    std::string text =
        "win_ms=" + std::to_string(flow_.window_ms) + " worst_quiet_ms=" + std::to_string(flow_.worst_quiet_ms);
    bool any_group = false;
    for (const auto& [group, stats] : flow_.stall_stats) {
        const auto live = live_count.find(group);
        const std::uint64_t live_now = live == live_count.end() ? 0 : live->second;
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
        if (live_count.count(entry->first) == 0) {
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
