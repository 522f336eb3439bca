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

ConnectAdmission TunnelController::begin_connect(const AdmissionRequest& request) {
    ConnectAdmission result;
    {
        std::unique_lock<std::mutex> guard(lock_);
        ErrorCode refusal = await_admission(guard, request);
        if (refusal == ErrorCode::none && request.start && !request.start()) refusal = ErrorCode::service_stopping;
        if (refusal != ErrorCode::none) {
            result.snapshot = current_;
            result.snapshot.code = refusal;
            result.snapshot.message = MessageForCode(refusal);
            return result;
        }
        const long long next = ledger_.generation + 1;
        ledger_ = SessionLedger{};
        ledger_.generation = next;
        ledger_.phase = SessionState::connecting;
        ledger_.cleanup_verified = false;
        // A verdict stored for an earlier session must not decide this one.
        proof_verdict_ = ProofVerdict::none;
        start_pending_ = true;
        save_ledger_held();
        current_ = TunnelSnapshot{SessionState::connecting, next, ErrorCode::none, std::string(), false};
        result.accepted = true;
        result.snapshot = current_;
    }
    log_.write(result.snapshot.generation, "connecting", "", 0);
    return result;
}

ErrorCode TunnelController::await_admission(std::unique_lock<std::mutex>& guard, const AdmissionRequest& request) {
    const unsigned long long arrived = clock_ms_();
    for (;;) {
        if (admission_closed_ || (request.give_up && request.give_up())) return ErrorCode::service_stopping;
        if (!teardown_running_ && stops_queued_ == 0) break;
        // A teardown that starts later (one queued behind a cancelled connect) gets its full bound.
        const unsigned long long from = teardown_started_ms_ > arrived ? teardown_started_ms_ : arrived;
        if (clock_ms_() >= from + kTeardownBoundMs) return ErrorCode::teardown_timeout;
        teardown_done_.wait_for(guard, std::chrono::milliseconds(kAdmissionWaitSliceMs));
    }
    if (ledger_.phase == SessionState::idle && ledger_.cleanup_verified) return ErrorCode::none;
    if (ledger_.phase == SessionState::connecting || ledger_.phase == SessionState::connected) return ErrorCode::busy;
    // Left disconnecting (or unverified) by a teardown that failed, in this run or an earlier one.
    return ErrorCode::cleanup_failed;
}

QueuedStop TunnelController::queue_stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++stops_queued_;
    }
    return QueuedStop(nullptr, [this](void*) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            --stops_queued_;
        }
        teardown_done_.notify_all();
    });
}

void TunnelController::close_admission() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        admission_closed_ = true;
    }
    teardown_done_.notify_all();
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
    if (!cleanup_verified) save_ledger_held();
    return current_;
}

void TunnelController::announce(const TunnelSnapshot& published, std::uint32_t route_error) {
    const std::uint32_t win32 = published.code == ErrorCode::route_failed ? route_error : 0;
    log_.write(published.generation, SessionStateName(published.state), ErrorCodeName(published.code), win32);
    if (snapshot_listener_) snapshot_listener_(published);
}

// A ledger that could not be saved no longer tells the next start what to undo: never silent.
void TunnelController::save_ledger_held() {
    if (!files_.save_ledger(ledger_)) log_.write(ledger_.generation, "ledger", "save_failed", files_.last_error());
}

void TunnelController::update_ledger(const std::function<void()>& change) {
    std::lock_guard<std::mutex> guard(lock_);
    change();
    save_ledger_held();
}

bool TunnelController::checkpoint(ConnectCheckpoint point, const std::atomic<bool>& cancel) {
    if (checkpoint_observer_) checkpoint_observer_(point);
    return cancel.load(std::memory_order_acquire);
}

TunnelSnapshot TunnelController::run_connect(const ConnectJob& job, const std::atomic<bool>& cancel) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ledger_.phase != SessionState::connecting) return current_;
        start_pending_ = false;
    }
    publish(ErrorCode::none, std::string(), false);
    if (checkpoint(kCheckpointRunStart, cancel)) return finish_cancelled();

    const PhaseOutcome outcome = ConnectSequence(*this, job, cancel).run();
    if (outcome.result != PhaseResult::proceed) return end_connect(outcome);

    if (checkpoint(kCheckpointBeforeConnected, cancel)) return finish_cancelled();
    {
        std::lock_guard<std::mutex> guard(lock_);
        ledger_.phase = SessionState::connected;
        save_ledger_held();
    }
    return publish(ErrorCode::none, std::string(), false);
}

TunnelSnapshot TunnelController::end_connect(const PhaseOutcome& outcome) {
    if (outcome.result == PhaseResult::cancelled) return finish_cancelled();
    return finish_session(outcome.code, outcome.message, false, nullptr, outcome.route_error);
}

TunnelSnapshot TunnelController::finish_cancelled() { return finish_session(ErrorCode::none, std::string(), true); }

void TunnelController::record_proof(bool passed, long long generation) {
    std::lock_guard<std::mutex> guard(lock_);
    if (generation != ledger_.generation) return;
    proven_generation_ = generation;
    proof_verdict_ = passed ? ProofVerdict::passed : ProofVerdict::failed;
}

std::size_t TunnelController::flow_connections_tracked() const { return flow_monitor_.connections_tracked(); }

}  // namespace vantorel
