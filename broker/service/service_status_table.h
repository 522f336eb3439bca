#pragma once
// The status the broker reports to the service control manager at each step, and which controls
// the handler acts on. Plain numbers, so the table is checked without Windows.

#include <cstdint>

namespace vantorel {

namespace service_state {
inline constexpr std::uint32_t stopped = 1;
inline constexpr std::uint32_t start_pending = 2;
inline constexpr std::uint32_t stop_pending = 3;
inline constexpr std::uint32_t running = 4;
}  // namespace service_state

namespace service_control {
inline constexpr std::uint32_t stop = 1;
inline constexpr std::uint32_t power_event = 13;
inline constexpr std::uint32_t preshutdown = 15;
inline constexpr std::uint32_t power_suspend = 4;  // the event type of a power event
}  // namespace service_control

inline constexpr std::uint32_t kServiceOwnProcess = 0x10;
// Stop, power event, pre-shutdown.
inline constexpr std::uint32_t kControlsAccepted = 0x141;
inline constexpr std::uint32_t kPendingWaitHintMs = 20000;

struct ServiceStatusRecord {
    std::uint32_t service_type = kServiceOwnProcess;
    std::uint32_t current_state = service_state::stopped;
    std::uint32_t controls_accepted = 0;
    std::uint32_t exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t checkpoint = 0;
    std::uint32_t wait_hint = 0;
};

enum class ServicePhase { start, ready, stop_requested, finished };

ServiceStatusRecord StatusFor(ServicePhase phase);
// What any other control (interrogate included) reports: the current state again.
ServiceStatusRecord RepeatedStatus(std::uint32_t current_state);
// The same from the last reported record: while pending its checkpoint and wait hint stay, so a
// control in the middle of a stop never moves the progress back.
ServiceStatusRecord RepeatedStatus(const ServiceStatusRecord& current);
// Stop pending with a later checkpoint: the stop is still making progress.
ServiceStatusRecord StopProgressStatus(std::uint32_t checkpoint);

// After a pre-shutdown notice the control manager waits this long for the service to stop
// before shutdown goes on: enough for a cancelled connect and the final teardown (engine stop
// up to 7 s, route and adapter removal). Windows 10 1703 and later default to 10 s.
inline constexpr std::uint32_t kPreshutdownTimeoutMs = 30000;
// The service raises a shorter configured time-out and keeps a longer one (an installer's).
bool PreshutdownNeedsRaise(std::uint32_t configured_ms);

enum class ControlAction { stop, suspend, report_current };

// Stop (1) and pre-shutdown (15) stop; a power event (13) of type suspend (4) suspends;
// everything else reports the current state.
ControlAction ClassifyControl(std::uint32_t control, std::uint32_t event_type);

}  // namespace vantorel
