// The watch while connected, every tick of the worker: the engine still alive, the uplink and
// the capture routes as the connect left them (route_watch.h), the flow monitor's poll, and a
// retry of a cleanup that could not be verified. Declared in tunnel_controller.h.

#include "broker/core/route_watch.h"
#include "broker/core/tunnel_controller.h"
#include "broker/engine/output_analysis.h"

namespace vantorel {

TunnelSnapshot TunnelController::watch_network(const std::atomic<bool>& cancel) {
    SessionState phase = SessionState::idle;
    bool cleanup_verified = true;
    bool pin_intended = false;
    PinRoute pin;
    std::vector<CaptureRoute> capture;
    {
        std::lock_guard<std::mutex> guard(lock_);
        phase = ledger_.phase;
        cleanup_verified = ledger_.cleanup_verified;
        pin_intended = ledger_.pin_intended;
        pin = ledger_.pin;
        capture = ledger_.routes;
    }
    if (phase == SessionState::idle && cleanup_verified) return snapshot();
    if (cancel.load(std::memory_order_acquire) || phase == SessionState::disconnecting || phase == SessionState::idle) {
        return finish_session(ErrorCode::none, std::string(), true);
    }
    if (phase != SessionState::connected) return snapshot();

    if (!engine_.is_running()) {
        log_.write(generation(), "core_exited", RedactSecretsShort(engine_.output()), engine_.exit_code());
        return finish_session(ErrorCode::none, kConnectionLostMessage, false);
    }
    AdapterInfo tun_now;
    std::vector<CaptureRoute> found;
    if (!routes_.verify_capture_routes(tun_now, found)) {
        return finish_session(ErrorCode::none, kConnectionLostMessage, false);
    }
    if (pin_intended) {
        // Only a move to another interface counts; a new gateway or metric on the same one does not.
        PinRoute now;
        if (!routes_.find_physical_route(pin.destination, now) || now.interface_index != pin.interface_index) {
            return finish_session(ErrorCode::none, kNetworkChangedMessage, false);
        }
    }
    // A table that cannot be read this tick proves nothing; the next one is asked again.
    std::vector<RouteRow> now;
    if (routes_.list_routes(now)) {
        const RouteJudgement judgement = JudgeRoutes(capture, connect_routes_, now);
        if (judgement.verdict == RouteVerdict::capture_lost) {
            log_.write(generation(), "watch", "capture_lost " + judgement.route, 0);
            return finish_session(ErrorCode::none, kConnectionLostMessage, false);
        }
        if (judgement.verdict == RouteVerdict::network_changed) {
            log_.write(generation(), "watch", "route_appeared " + judgement.route, 0);
            return finish_session(ErrorCode::none, kNetworkChangedMessage, false);
        }
    }
    flow_monitor_.poll(generation(), clock_ms_());
    return snapshot();
}

}  // namespace vantorel
