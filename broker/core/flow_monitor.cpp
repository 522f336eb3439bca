#include "broker/core/flow_monitor.h"

#include <algorithm>
#include <utility>

#include "broker/portable/flow_response.h"

namespace vantorel {

namespace {

constexpr std::uint64_t kPollIntervalMs = 5000;
constexpr std::uint64_t kSummaryIntervalMs = 15000;
constexpr std::uint64_t kBusyConnectionBytes = 65536;

}  // namespace

void FlowMonitor::start(std::unique_ptr<FlowProbe> probe) {
    probe_ = std::move(probe);
    last_poll_ms_ = 0;
    last_summary_ms_ = 0;
    polls_ = 0;
    connections_.clear();
    group_by_name_.clear();
    groups_.clear();
    window_ms_ = 0;
    worst_quiet_ms_ = 0;
    api_unreachable_logged_ = false;
    missing_id_logged_ = false;
}

void FlowMonitor::poll(long long generation, std::uint64_t now_ms) {
    if (!probe_) return;
    // last_poll_ms_ 0 means "never polled", which also forces the final reading.
    if (last_poll_ms_ != 0 && now_ms - last_poll_ms_ < kPollIntervalMs) return;
    read(generation, now_ms);
}

void FlowMonitor::finish(long long generation, std::uint64_t now_ms) {
    last_poll_ms_ = 0;
    poll(generation, now_ms);
    log_totals(generation, "flow_total");
}

void FlowMonitor::read(long long generation, std::uint64_t now_ms) {
    const std::uint64_t elapsed = last_poll_ms_ == 0 ? kPollIntervalMs : now_ms - last_poll_ms_;
    last_poll_ms_ = now_ms;

    FlowSample sample;
    if (!probe_->poll(sample)) {
        if (!api_unreachable_logged_) {
            api_unreachable_logged_ = true;
            log_.write(generation, "flow", "api_unreachable", probe_->last_error());
        }
        return;
    }
    api_unreachable_logged_ = false;
    if (sample.missing_ids != 0 && !missing_id_logged_) {
        missing_id_logged_ = true;
        log_.write(generation, "flow", "no_connection_id", 0);
    }

    const std::uint64_t poll = ++polls_;
    for (Group& group : groups_) {
        group.poll_up = 0;
        group.poll_down = 0;
        group.poll_matched = false;
    }
    for (FlowConnection& connection : sample.connections) {
        if (!connection.id.empty()) count(generation, poll, connection);
    }
    forget_closed(poll);
    for (Group& group : groups_) {
        if (!group.poll_matched) continue;
        group.counted = true;
        group.total_up += group.poll_up;
        group.window_up += group.poll_up;
        group.total_down += group.poll_down;
        group.window_down += group.poll_down;
    }
    update_stalls(elapsed);
    window_ms_ += elapsed;

    if (last_summary_ms_ == 0 || now_ms - last_summary_ms_ >= kSummaryIntervalMs) {
        last_summary_ms_ = now_ms;
        log_rates(generation);
        log_totals(generation, "flow_summary");
    }
}

std::uint32_t FlowMonitor::group_index(const FlowConnection& connection) {
    group_key_.assign(connection.network);
    group_key_ += ':';
    group_key_ += connection.chain;
    const auto known = group_by_name_.find(group_key_);
    if (known != group_by_name_.end()) return known->second;
    const auto index = static_cast<std::uint32_t>(groups_.size());
    group_by_name_.emplace(group_key_, index);
    groups_.push_back(Group{});
    groups_.back().name = group_key_;
    return index;
}

void FlowMonitor::count(long long generation, std::uint64_t poll, FlowConnection& connection) {
    const std::uint32_t group = group_index(connection);
    // The id is moved in only when it is new; the texts the log may need stay.
    auto [entry, is_new] = connections_.try_emplace(std::move(connection.id));
    Seen& seen = entry->second;
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
        groups_[group].poll_up += connection.upload - seen.before_upload;
        groups_[group].poll_down += connection.download - seen.before_download;
        groups_[group].poll_matched = true;
    }
    if (connection.upload + connection.download >= kBusyConnectionBytes && !seen.reported) {
        seen.reported = true;
        log_.write(generation, "flow_seen",
                   "net=" + sanitize_flow_text(connection.network) + " chain=" + sanitize_flow_text(connection.chain) +
                       " dst=" + sanitize_flow_text(connection.destination) +
                       " proc=" + sanitize_flow_text(connection.process) + " up=" + std::to_string(connection.upload) +
                       " dn=" + std::to_string(connection.download),
                   0);
    }
}

// Closed connections leave the table, and with them the memory of having been named.
void FlowMonitor::forget_closed(std::uint64_t poll) {
    for (Group& group : groups_) group.live = 0;
    for (auto entry = connections_.begin(); entry != connections_.end();) {
        if (entry->second.seen_in_poll != poll) {
            entry = connections_.erase(entry);
            continue;
        }
        groups_[entry->second.group].live += 1;
        ++entry;
    }
}

void FlowMonitor::update_stalls(std::uint64_t elapsed) {
    const auto end_quiet_stretch = [](StallStats& stats) {
        if (stats.quiet_ms == 0) return;
        stats.stalls += 1;
        stats.stall_ms = std::max(stats.stall_ms, stats.quiet_ms);
        stats.quiet_ms = 0;
    };
    for (Group& group : groups_) {
        if (group.live == 0) {
            if (group.watched) end_quiet_stretch(group.stall);
            continue;
        }
        group.watched = true;
        StallStats& stats = group.stall;
        if (!stats.seen) {
            stats.seen = true;
            continue;
        }
        if (group.poll_up + group.poll_down > 0) {
            end_quiet_stretch(stats);
        } else {
            stats.quiet_ms += elapsed;
            worst_quiet_ms_ = std::max(worst_quiet_ms_, stats.quiet_ms);
        }
    }
}

void FlowMonitor::log_rates(long long generation) {
    const std::uint64_t window_s = window_ms_ / 1000;
    std::string text = "win_ms=" + std::to_string(window_ms_) + " worst_quiet_ms=" + std::to_string(worst_quiet_ms_);
    bool any_group = false;
    for (const auto& [name, index] : group_by_name_) {
        const Group& group = groups_[index];
        const StallStats& stats = group.stall;
        if (!group.watched || (group.live == 0 && stats.stalls == 0 && stats.quiet_ms == 0)) continue;
        const std::uint64_t dn_kbps = window_s == 0 ? 0 : group.window_down / 1024 / window_s;
        const std::uint64_t up_kbps = window_s == 0 ? 0 : group.window_up / 1024 / window_s;
        text += " " + sanitize_flow_text(name) + "=dn_kbps:" + std::to_string(dn_kbps) +
                "/up_kbps:" + std::to_string(up_kbps) + " stall_ms:" + std::to_string(stats.stall_ms) +
                " stalls:" + std::to_string(stats.stalls) + " quiet_ms:" + std::to_string(stats.quiet_ms) +
                " live:" + std::to_string(group.live);
        any_group = true;
    }
    if (any_group) log_.write(generation, "flow_rate", text, 0);

    window_ms_ = 0;
    for (Group& group : groups_) {
        group.window_up = 0;
        group.window_down = 0;
        group.stall.stall_ms = 0;
        group.stall.stalls = 0;
        // A group that is gone starts its stall figures afresh when it comes back.
        if (group.watched && group.live == 0) {
            group.watched = false;
            group.stall = StallStats{};
        }
    }
}

void FlowMonitor::log_totals(long long generation, const char* event) {
    bool grew = false;
    for (const Group& group : groups_) grew = grew || group.total_up != 0 || group.total_down != 0;
    if (!grew) return;
    std::string text;
    for (const auto& [name, index] : group_by_name_) {
        const Group& group = groups_[index];
        if (!group.counted) continue;
        if (!text.empty()) text += " ";
        text += sanitize_flow_text(name) + "=dn:" + std::to_string(group.total_down) +
                "/up:" + std::to_string(group.total_up);
    }
    log_.write(generation, event, text, 0);
}

}  // namespace vantorel
