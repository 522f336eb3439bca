#include "broker/core/tunnel_controller.h"

#include <utility>

#include "common/monotonic_clock.h"

namespace vantorel {

StopTarget StopTargetOf(const TunnelSnapshot& snapshot) {
    StopTarget target;
    target.generation = snapshot.generation;
    target.live = snapshot.state != SessionState::idle || !snapshot.cleanup_verified;
    return target;
}

TunnelController::TunnelController(RouteTable& routes, EngineHost& engine, NameResolver& resolver,
                                   ConnectivityProbe& probe, SessionFiles& files, TunnelLog& log, Sleeper& sleeper,
                                   Firewall& firewall)
    : routes_(routes),
      engine_(engine),
      resolver_(resolver),
      probe_(probe),
      files_(files),
      log_(log),
      sleeper_(sleeper),
      firewall_(firewall),
      clock_ms_(MonotonicMs) {}

void TunnelController::set_snapshot_listener(std::function<void(const TunnelSnapshot&)> listener) {
    snapshot_listener_ = std::move(listener);
}

void TunnelController::set_tun_ready_listener(std::function<void(long long)> listener) {
    tun_ready_listener_ = std::move(listener);
}

void TunnelController::set_flow_probe_factory(FlowProbeFactory factory) { flow_probe_factory_ = std::move(factory); }

void TunnelController::set_proof_audience(std::function<bool()> present) { proof_audience_ = std::move(present); }

void TunnelController::set_checkpoint_observer(std::function<void(int)> observer) {
    checkpoint_observer_ = std::move(observer);
}

void TunnelController::set_clock(std::function<unsigned long long()> clock_ms) {
    clock_ms_ = clock_ms ? std::move(clock_ms) : std::function<unsigned long long()>(MonotonicMs);
}

TunnelSnapshot TunnelController::snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return current_;
}

SessionLedger TunnelController::ledger_copy() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ledger_;
}

long long TunnelController::generation() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ledger_.generation;
}

ConnectAdmission TunnelController::begin_connect() {
    ConnectAdmission result;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (admission_closed_ || ledger_.phase != SessionState::idle || !ledger_.cleanup_verified) {
            // A teardown still under way is busy; only one that has failed (or a session left
            // disconnecting from an earlier run) is cleanup_failed.
            const bool cleanup_failed = !admission_closed_ && ledger_.phase == SessionState::disconnecting &&
                                        (teardown_failed_ || !teardown_running_);
            const ErrorCode code = cleanup_failed ? ErrorCode::cleanup_failed : ErrorCode::busy;
            current_.code = code;
            current_.message = MessageForCode(code);
            result.snapshot = current_;
            return result;
        }
        const long long next = ledger_.generation + 1;
        ledger_ = SessionLedger{};
        ledger_.generation = next;
        ledger_.phase = SessionState::connecting;
        ledger_.cleanup_verified = false;
        // A verdict stored for an earlier session must not decide this one.
        proof_verdict_ = ProofVerdict::none;
        files_.save_ledger(ledger_);
        current_ = TunnelSnapshot{SessionState::connecting, next, ErrorCode::none, std::string(), false};
        result.accepted = true;
        result.snapshot = current_;
    }
    log_.write(result.snapshot.generation, "connecting", "", 0);
    return result;
}

TunnelSnapshot TunnelController::publish(ErrorCode code, const std::string& message, bool cleanup_verified) {
    TunnelSnapshot published;
    {
        std::lock_guard<std::mutex> guard(lock_);
        published = store_snapshot(code, message, cleanup_verified);
    }
    announce(published);
    return published;
}

TunnelSnapshot TunnelController::store_snapshot(ErrorCode code, const std::string& message, bool cleanup_verified) {
    ledger_.cleanup_verified = cleanup_verified;
    current_ = TunnelSnapshot{ledger_.phase, ledger_.generation, code, message, cleanup_verified};
    if (!cleanup_verified) files_.save_ledger(ledger_);
    return current_;
}

void TunnelController::announce(const TunnelSnapshot& published, std::uint32_t route_error) {
    const std::uint32_t win32 = published.code == ErrorCode::route_failed ? route_error : 0;
    log_.write(published.generation, SessionStateName(published.state), ErrorCodeName(published.code), win32);
    if (snapshot_listener_) snapshot_listener_(published);
}

void TunnelController::update_ledger(const std::function<void()>& change) {
    std::lock_guard<std::mutex> guard(lock_);
    change();
    files_.save_ledger(ledger_);
}

bool TunnelController::checkpoint(int step, const std::atomic<bool>& cancel) {
    if (checkpoint_observer_) checkpoint_observer_(step);
    return cancel.load(std::memory_order_acquire);
}

void TunnelController::record_proof(bool passed, long long generation) {
    std::lock_guard<std::mutex> guard(lock_);
    if (generation != ledger_.generation) return;
    proven_generation_ = generation;
    proof_verdict_ = passed ? ProofVerdict::passed : ProofVerdict::failed;
}

std::size_t TunnelController::flow_connections_tracked() const { return flow_monitor_.connections_tracked(); }

}  // namespace vantorel
