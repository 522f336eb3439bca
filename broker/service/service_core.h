#pragma once
// The part of the running broker service that needs no Windows call: the cancel flag, the event
// outbox, the worker strand and the command dispatch, wired to one TunnelController.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "broker/contracts/platform_services.h"
#include "broker/core/tunnel_controller.h"
#include "broker/service/command_dispatch.h"
#include "broker/service/event_outbox.h"
#include "broker/service/worker_strand.h"

namespace vantorel {

struct ServiceCoreHooks {
    std::function<void()> on_ready;                       // recovery has finished
    std::function<std::vector<std::string>()> clear_log;  // names of log files left behind
    std::function<long long()> steady_ms;
    FlowProbeFactory flow_probe_factory;
};

class ServiceCore {
public:
    ServiceCore(TunnelController& controller, TunnelLog& log, ServiceCoreHooks hooks,
                StrandTiming timing = SystemStrandTiming());
    ~ServiceCore();
    ServiceCore(const ServiceCore&) = delete;
    ServiceCore& operator=(const ServiceCore&) = delete;

    // Snapshots and tun-ready reports become events for the attached client.
    void install_listeners();
    bool start_worker();
    // Stop or pre-shutdown: the strand finishes after at most its front task, long core
    // operations end early.
    void begin_stop();
    void join_worker();
    // A suspend ends a live or unclean session; the service goes on.
    void handle_suspend();

    void dispatch(const std::string& payload) { dispatch_.dispatch(payload); }

    EventOutbox& outbox() { return outbox_; }
    WorkerStrand& strand() { return strand_; }
    std::atomic<bool>& cancel() { return cancel_; }
    bool stopping() const { return strand_.stop_requested(); }

private:
    TunnelController& controller_;
    ServiceCoreHooks hooks_;
    std::atomic<bool> cancel_{false};
    // The outbox outlives the strand: the strand's final stop still publishes.
    EventOutbox outbox_;
    WorkerStrand strand_;
    CommandDispatch dispatch_;
    // The client session that received the last tun_ready (0: none); worker thread only.
    unsigned long long proof_client_ = 0;
};

}  // namespace vantorel
