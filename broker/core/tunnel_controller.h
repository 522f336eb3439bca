#pragma once
// The broker's one session object. Host-changing procedures run on the worker strand only;
// snapshot(), begin_connect() and record_proof() may be called from other threads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broker/core/flow_monitor_state.h"
#include "broker/core/platform_services.h"
#include "broker/core/session_ledger.h"
#include "broker/engine/server_profile.h"
#include "protocol/tunnel_snapshot.h"

namespace vantorel {

struct ConnectAdmission {
    bool accepted = false;
    TunnelSnapshot snapshot;
};

class TunnelController {
public:
    TunnelController(RouteTable& routes, EngineHost& engine, NameResolver& resolver,
                     ConnectivityProbe& probe, SessionFiles& files, TunnelLog& log, Sleeper& sleeper);
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    void set_snapshot_listener(std::function<void(const TunnelSnapshot&)> listener);
    void set_tun_ready_listener(std::function<void(long long)> listener);
    void set_flow_probe_factory(FlowProbeFactory factory);
    // Test hooks; the service never installs them.
    void set_checkpoint_observer(std::function<void(int)> observer);
    void set_clock(std::function<unsigned long long()> clock_ms);

    TunnelSnapshot snapshot() const;
    ConnectAdmission begin_connect();
    TunnelSnapshot run_connect(const ConnectJob& job, const std::atomic<bool>& cancel);
    TunnelSnapshot stop();
    TunnelSnapshot watch_network(const std::atomic<bool>& cancel);
    TunnelSnapshot recover_at_startup(const std::atomic<bool>& cancel);
    void record_proof(bool passed, long long generation);

    // Copy of the ledger record, for tests and diagnostics.
    SessionLedger ledger_copy() const;

    // How long run_connect waits for the proof verdict after reporting the adapter ready.
    static constexpr int kProofWaitSteps = 100;  // 100 x 100 ms
    static constexpr int kTunWaitPolls = 50;

private:
    // Shared by the procedures.
    TunnelSnapshot publish(ErrorCode code, const std::string& message, bool cleanup_verified);
    void update_ledger(const std::function<void()>& change);
    bool checkpoint(int step, const std::atomic<bool>& cancel);
    long long generation() const;

    // Connect.
    void log_gate(const std::string& stage, const std::string& outcome);
    void log_engine_failure(const char* fallback);
    TunnelSnapshot finish_failed(ErrorCode code, const std::string& message = std::string());
    TunnelSnapshot finish_cancelled();
    bool resolve_server(const ConnectJob& job, ServerProfile& profile, std::string& server_ip,
                        ErrorCode& failure);
    bool wait_for_tun(const std::atomic<bool>& cancel, AdapterInfo& tun, ErrorCode& failure);
    // 0: go on; otherwise the verdict ended the session (see run_connect).
    int await_proof(const std::atomic<bool>& cancel);
    void diagnose_tun_timeout();

    // Teardown.
    TunnelSnapshot finish_session(ErrorCode code, const std::string& message, bool clean);
    bool teardown();
    bool stop_engine();
    bool remove_pin_routes();
    bool clean_interfaces();
    bool remove_own_adapters();
    bool remove_engine_config();

    // Flow monitor.
    void reset_flow_monitor();
    void poll_flows();
    void log_flow_rates();
    void log_flow_totals(const char* event);

    RouteTable& routes_;
    EngineHost& engine_;
    NameResolver& resolver_;
    ConnectivityProbe& probe_;
    SessionFiles& files_;
    TunnelLog& log_;
    Sleeper& sleeper_;

    mutable std::mutex lock_;
    SessionLedger ledger_;
    TunnelSnapshot current_;
    std::function<void(const TunnelSnapshot&)> snapshot_listener_;
    std::function<void(long long)> tun_ready_listener_;
    std::function<void(int)> checkpoint_observer_;
    FlowProbeFactory flow_probe_factory_;
    std::unique_ptr<FlowProbe> flow_probe_;
    std::function<unsigned long long()> clock_ms_;
    FlowMonitorState flow_;
    long long proven_generation_ = 0;
    int proof_verdict_ = 0;
    // The route table's error at the moment a route step failed; the teardown that runs
    // before the final publish overwrites routes.last_error().
    std::uint32_t failed_route_error_ = 0;
    bool failed_route_error_set_ = false;
};

// The alias of the interface that owns the default route ahead of the physical one, or "".
std::string find_foreign_tunnel(const std::vector<DefaultRouteInfo>& routes);

}  // namespace vantorel
