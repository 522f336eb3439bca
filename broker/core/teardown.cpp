// Ending a session and undoing what it changed: stop, final stop, recovery at start-up, and the
// teardown that removes the engine, routes, adapters, filters and files the ledger names, then
// checks each removal held. Declared in tunnel_controller.h.

#include <algorithm>

#include "broker/core/tunnel_controller.h"

namespace vantorel {

TunnelSnapshot TunnelController::stop() { return finish_session(ErrorCode::none, std::string(), true); }

TunnelSnapshot TunnelController::stop(const StopTarget& target) {
    return finish_session(ErrorCode::none, std::string(), true, &target);
}

TunnelSnapshot TunnelController::final_stop() {
    bool never_ran = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        admission_closed_ = true;
        never_ran = start_pending_;
    }
    teardown_done_.notify_all();
    // A session admitted just before the worker stopped, whose connect never ran: its end says
    // why, so the client is not left with an accepted connect that silently went idle.
    if (never_ran) return finish_session(ErrorCode::service_stopping, std::string(), false);
    return stop();
}

TunnelSnapshot TunnelController::recover_at_startup(const std::atomic<bool>& cancel) {
    (void)cancel;  // recovery always runs to the end: the host must not stay half-changed
    SessionLedger loaded;
    if (files_.load_ledger(loaded) == 1) {
        std::lock_guard<std::mutex> guard(lock_);
        ledger_ = loaded;
    }
    return finish_session(ErrorCode::none, std::string(), true);
}

bool TunnelController::stop_applies(const StopTarget& target) const {
    // Generations only grow: another number means a session admitted after the stop was asked.
    if (ledger_.generation != target.generation) return false;
    const bool ended = ledger_.phase == SessionState::idle && ledger_.cleanup_verified;
    return !(target.live && ended);
}

TunnelSnapshot TunnelController::finish_session(ErrorCode code, const std::string& message, bool clean,
                                                const StopTarget* target, std::uint32_t route_error) {
    bool was_connected = false;
    {
        // The check and the claim share one lock, so no connect is admitted in between and then
        // torn down by a stop that was meant for the session before it.
        std::lock_guard<std::mutex> guard(lock_);
        if (target != nullptr && !stop_applies(*target)) return current_;
        was_connected = ledger_.phase == SessionState::connected;
        claim_teardown();
    }
    if (was_connected) flow_monitor_.finish(generation(), clock_ms_());

    const TeardownOutcome outcome = remove_host_changes();
    TunnelSnapshot published;
    {
        std::lock_guard<std::mutex> guard(lock_);
        published = conclude_teardown(outcome, code, message, clean);
    }
    announce(published, route_error);
    // A waiting connect goes on only now, so its events follow this session's last one.
    {
        std::lock_guard<std::mutex> guard(lock_);
        teardown_running_ = false;
    }
    teardown_done_.notify_all();
    return published;
}

void TunnelController::claim_teardown() {
    ledger_.phase = SessionState::disconnecting;
    ledger_.cleanup_verified = false;
    save_ledger_held();
    teardown_running_ = true;
    teardown_started_ms_ = clock_ms_();
    start_pending_ = false;
}

TunnelSnapshot TunnelController::conclude_teardown(const TeardownOutcome& outcome, ErrorCode code,
                                                   const std::string& message, bool clean) {
    if (!outcome.verified) {
        ledger_.phase = SessionState::disconnecting;
        ledger_.cleanup_verified = false;
        if (outcome.engine_stopped) ledger_.pid = 0;
        return store_snapshot(ErrorCode::cleanup_failed, MessageForCode(ErrorCode::cleanup_failed), false);
    }
    const long long kept_generation = ledger_.generation;
    ledger_ = SessionLedger{};
    ledger_.generation = kept_generation;
    files_.delete_ledger();
    if (clean || code == ErrorCode::none) return store_snapshot(ErrorCode::none, message, true);
    return store_snapshot(code, message.empty() ? MessageForCode(code) : message, true);
}

bool TunnelController::stop_engine() {
    bool stuck = false;
    if (engine_.is_running()) {
        if (engine_.request_stop()) {
            for (int check = 0; check < kStopWaitChecks && engine_.is_running(); ++check) sleeper_.sleep_ms(100);
        }
        if (engine_.is_running()) engine_.terminate();
        for (int check = 0; check < kTerminateWaitChecks && engine_.is_running(); ++check) sleeper_.sleep_ms(100);
        // Asked before release: once the handle is closed is_running() is false whatever the process does.
        stuck = engine_.is_running();
    }
    engine_.release();
    engine_.kill_strays();
    return !stuck && !engine_.is_running();
}

bool TunnelController::remove_pin_routes() {
    bool ok = true;
    PinRoute recorded;
    bool pin_intended = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pin_intended = ledger_.pin_intended;
        recorded = ledger_.pin;
    }
    if (pin_intended) {
        if (!routes_.delete_pin_route(recorded) || !routes_.pin_route_absent(recorded)) ok = false;
    }

    const std::string pinned = files_.read_pin();
    if (!pinned.empty()) {
        PinRoute anywhere;
        anywhere.destination = pinned;
        if (routes_.delete_pin_route(anywhere) && routes_.pin_route_absent(anywhere)) {
            files_.delete_pin();
        } else {
            ok = false;
        }
    }
    return ok;
}

bool TunnelController::clean_interfaces(std::vector<std::uint64_t>& luids) {
    bool ok = true;
    std::vector<std::uint64_t> recorded;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ledger_.adapter_known && ledger_.adapter.luid != 0) recorded.push_back(ledger_.adapter.luid);
        for (const CaptureRoute& route : ledger_.routes) {
            if (route.interface_luid != 0) recorded.push_back(route.interface_luid);
        }
    }
    luids.clear();
    std::vector<AdapterInfo> own;
    if (routes_.list_own_adapters(own)) {
        for (const AdapterInfo& adapter : own) luids.push_back(adapter.luid);
    } else {
        ok = false;
    }
    // A LUID from the ledger may belong to someone else's adapter by now (after a crash, say):
    // only an interface that is gone or carries an own name is flushed.
    for (std::uint64_t luid : recorded) {
        if (std::find(luids.begin(), luids.end(), luid) != luids.end()) continue;
        InterfaceHolder holder = InterfaceHolder::none;
        // Quirk: docs/windows-quirks.md, "Interface LUIDs are reused".
        if (!routes_.interface_holder(luid, holder)) {
            ok = false;
            continue;
        }
        if (holder == InterfaceHolder::other) {
            log_.write(generation(), "cleanup", "luid_reused", 0);
            continue;
        }
        luids.push_back(luid);
    }
    std::sort(luids.begin(), luids.end());
    luids.erase(std::unique(luids.begin(), luids.end()), luids.end());
    for (std::uint64_t luid : luids) {
        if (!routes_.delete_interface_routes(luid)) ok = false;
    }
    return ok;
}

// Checked once our adapters are gone: while an adapter exists the system keeps routes of its
// own on it.
bool TunnelController::interfaces_clean(const std::vector<std::uint64_t>& luids) {
    bool ok = true;
    for (std::uint64_t luid : luids) {
        if (!routes_.interface_routes_absent(luid)) ok = false;
    }
    return ok;
}

bool TunnelController::remove_own_adapters() {
    bool ok = true;
    std::vector<AdapterInfo> own;
    if (routes_.list_own_adapters(own)) {
        for (const AdapterInfo& adapter : own) {
            if (!routes_.remove_adapter(adapter)) ok = false;
        }
    } else {
        ok = false;
    }
    std::vector<AdapterInfo> left;
    bool listed = routes_.list_own_adapters(left);
    // An adapter whose device was already gone (Wintun removes its own when the engine ends)
    // can stay listed for a moment.
    for (int check = 0; ok && listed && !left.empty() && check < kAdapterGoneChecks; ++check) {
        sleeper_.sleep_ms(100);
        listed = routes_.list_own_adapters(left);
    }
    if (!listed || !left.empty()) ok = false;
    return ok;
}

bool TunnelController::remove_engine_config() {
    bool config_written = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        config_written = ledger_.config_written;
    }
    if (!config_written && !files_.engine_config_exists()) return true;
    return files_.shred_engine_config() && !files_.engine_config_exists();
}

// After the routes: while they still lead into a stopped engine the filters keep the host's
// traffic from leaking past them. Only a session whose ledger names them has any: the entry is
// saved before the filters are asked for, and they live in a session of their own that ends with
// the process that made them. A host whose filtering engine is absent or stopped thus still
// verifies clean when no filters were ever made.
bool TunnelController::remove_firewall() {
    bool ok = true;
    bool firewall_open = false;
    std::string dns_guid;
    {
        std::lock_guard<std::mutex> guard(lock_);
        firewall_open = ledger_.firewall_open;
        dns_guid = ledger_.tunnel_dns_guid;
    }
    if (firewall_open && (!firewall_.close() || !firewall_.filters_absent())) {
        log_.write(generation(), "cleanup", "firewall", firewall_.last_error());
        ok = false;
    }
    if (!dns_guid.empty()) {
        if (!firewall_.set_tunnel_dns(dns_guid, std::string())) {
            log_.write(generation(), "cleanup", "tunnel_dns", firewall_.last_error());
            ok = false;
        }
        // Answers got through the tunnel would outlive it.
        firewall_.flush_resolver_cache();
    }
    return ok;
}

TeardownOutcome TunnelController::remove_host_changes() {
    // Every step runs even after a failure, so one attempt removes as much as it can.
    TeardownOutcome outcome;
    outcome.engine_stopped = stop_engine();
    bool ok = outcome.engine_stopped;
    ok = remove_pin_routes() && ok;
    std::vector<std::uint64_t> luids;
    ok = clean_interfaces(luids) && ok;
    ok = remove_own_adapters() && ok;
    ok = interfaces_clean(luids) && ok;
    ok = remove_firewall() && ok;
    ok = remove_engine_config() && ok;
    if (!files_.read_pin().empty()) ok = false;
    outcome.verified = ok;
    return outcome;
}

}  // namespace vantorel
