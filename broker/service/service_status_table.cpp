#include "broker/service/service_status_table.h"

namespace vantorel {
namespace {

bool IsPending(std::uint32_t state) {
    return state == service_state::start_pending || state == service_state::stop_pending;
}

}  // namespace

ServiceStatusRecord StatusFor(ServicePhase phase) {
    ServiceStatusRecord record;
    switch (phase) {
        case ServicePhase::start:
            record.current_state = service_state::start_pending;
            record.checkpoint = 1;
            record.wait_hint = kPendingWaitHintMs;
            break;
        case ServicePhase::ready:
            record.current_state = service_state::running;
            record.controls_accepted = kControlsAccepted;
            break;
        case ServicePhase::stop_requested:
            record.current_state = service_state::stop_pending;
            record.checkpoint = 1;
            record.wait_hint = kPendingWaitHintMs;
            break;
        case ServicePhase::finished:
            record.current_state = service_state::stopped;
            record.controls_accepted = kControlsAccepted;
            break;
    }
    return record;
}

ServiceStatusRecord RepeatedStatus(std::uint32_t current_state) {
    ServiceStatusRecord record;
    record.current_state = current_state;
    const bool pending = IsPending(current_state);
    record.controls_accepted = pending ? 0 : kControlsAccepted;
    record.checkpoint = pending ? 1 : 0;
    return record;
}

ServiceStatusRecord RepeatedStatus(const ServiceStatusRecord& current) {
    ServiceStatusRecord record = RepeatedStatus(current.current_state);
    if (IsPending(current.current_state)) {
        if (current.checkpoint > record.checkpoint) record.checkpoint = current.checkpoint;
        record.wait_hint = current.wait_hint;
    }
    return record;
}

ServiceStatusRecord StopProgressStatus(std::uint32_t checkpoint) {
    ServiceStatusRecord record = StatusFor(ServicePhase::stop_requested);
    record.checkpoint = checkpoint;
    return record;
}

bool PreshutdownNeedsRaise(std::uint32_t configured_ms) { return configured_ms < kPreshutdownTimeoutMs; }

ControlAction ClassifyControl(std::uint32_t control, std::uint32_t event_type) {
    if (control == service_control::stop || control == service_control::preshutdown) return ControlAction::stop;
    if (control == service_control::power_event && event_type == service_control::power_suspend)
        return ControlAction::suspend;
    return ControlAction::report_current;
}

}  // namespace vantorel
