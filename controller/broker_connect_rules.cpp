#include "controller/broker_connect_rules.h"

namespace vantorel {
namespace {

enum class Verdict { accept, retry, refuse };

// The pipe is open: is its server the running broker service?
Verdict CheckPipeServer(BrokerEndpoint& endpoint) {
    std::uint32_t server_pid = 0;
    if (!endpoint.pipe_server_process_id(server_pid) || server_pid == 0) return Verdict::refuse;
    bool running = false;
    std::uint32_t service_pid = 0;
    if (!endpoint.query_service(running, service_pid)) return Verdict::refuse;
    // Not running yet, or starting/stopping: the pipe may be served by its previous or next run.
    if (service_pid == 0) return Verdict::retry;
    if (service_pid != server_pid) return Verdict::refuse;
    return running ? Verdict::accept : Verdict::retry;
}

}  // namespace

ConnectOutcome ConnectWithRetries(BrokerEndpoint& endpoint) {
    ConnectOutcome outcome;
    for (;;) {
        const std::uint32_t open_error = endpoint.open_pipe();
        if (open_error == 0) {
            const Verdict verdict = CheckPipeServer(endpoint);
            if (verdict == Verdict::accept) {
                outcome.result = ConnectResult::connected;
                outcome.win32 = 0;
                return outcome;
            }
            endpoint.close_pipe();
            outcome.win32 = kWin32ServiceNotActive;
            if (verdict == Verdict::refuse) return outcome;
        } else if (open_error == kWin32PipeBusy) {
            if (outcome.attempts + 1 >= kBusyAttempts) {
                outcome.result = ConnectResult::busy;
                outcome.win32 = kWin32PipeBusy;
                return outcome;
            }
            // Another controller is attached: wait for its instance instead of sleeping.
            endpoint.wait_for_instance(kAttemptPauseMs);
            ++outcome.attempts;
            continue;
        } else if (open_error == kWin32FileNotFound || open_error == kWin32SemTimeout) {
            outcome.win32 = open_error;
        } else {
            outcome.win32 = open_error;
            return outcome;
        }
        endpoint.pause(kAttemptPauseMs);
        if (++outcome.attempts >= kMaxAttempts) return outcome;
    }
}

}  // namespace vantorel
