#include "broker/service/service_core.h"

#include <utility>

#include "protocol/events.h"

namespace vantorel {
namespace {

StrandOperations OperationsFor(TunnelController& controller, std::atomic<bool>& cancel) {
    StrandOperations operations;
    operations.recover = [&controller, &cancel] { controller.recover_at_startup(cancel); };
    operations.tick = [&controller, &cancel] { controller.watch_network(cancel); };
    operations.final_stop = [&controller] { controller.final_stop(); };
    return operations;
}

}  // namespace

ServiceCore::ServiceCore(TunnelController& controller, TunnelLog& log, ServiceCoreHooks hooks, StrandTiming timing)
    : controller_(controller),
      hooks_(std::move(hooks)),
      strand_(OperationsFor(controller, cancel_), hooks_.on_ready, std::move(timing)),
      dispatch_(DispatchContext{controller, log, cancel_,
                                [this](std::function<void()> task) { return strand_.post(std::move(task)); },
                                [this](std::string document) { outbox_.push(std::move(document)); }, hooks_.clear_log,
                                hooks_.steady_ms, [this] { return strand_.stop_requested(); }}) {}

ServiceCore::~ServiceCore() {
    begin_stop();
    join_worker();
    controller_.set_snapshot_listener(nullptr);
    controller_.set_tun_ready_listener(nullptr);
    controller_.set_proof_audience(nullptr);
}

void ServiceCore::install_listeners() {
    controller_.set_snapshot_listener(
        [this](const TunnelSnapshot& snapshot) { outbox_.push(WriteStateEvent(snapshot)); });
    // Both run on the worker, inside run_connect's wait for the proof verdict.
    controller_.set_tun_ready_listener(
        [this](long long generation) { proof_client_ = outbox_.push(WriteTunReadyEvent(generation)); });
    controller_.set_proof_audience([this] { return proof_client_ != 0 && outbox_.client() == proof_client_; });
    if (hooks_.flow_probe_factory) controller_.set_flow_probe_factory(hooks_.flow_probe_factory);
}

bool ServiceCore::start_worker() { return strand_.start(); }

void ServiceCore::begin_stop() {
    // Admission closes first, so a connect is either handed to the strand before its stop flag
    // goes up or refused with service_stopping. The stop flag goes up before cancel: a connect
    // admitted meanwhile on the pipe thread checks the flag after clearing cancel and raises
    // cancel again.
    controller_.close_admission();
    strand_.request_stop();
    cancel_.store(true);
}

void ServiceCore::join_worker() { strand_.join(); }

void ServiceCore::handle_suspend() {
    const TunnelSnapshot snapshot = controller_.snapshot();
    if (snapshot.state == SessionState::idle && snapshot.cleanup_verified) return;
    cancel_.store(true);
    // Aimed at the session seen here: if it ends by itself first, the stop adds no second end.
    const StopTarget target = StopTargetOf(snapshot);
    strand_.post([this, target, queued = controller_.queue_stop()] { controller_.stop(target); });
}

}  // namespace vantorel
