#pragma once
// The broker's one session object. Host-changing procedures run on the worker strand only;
// snapshot(), begin_connect() and record_proof() may be called from other threads.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "broker/contracts/platform_services.h"
#include "broker/contracts/session_ledger.h"
#include "broker/core/connect_sequence.h"
#include "broker/core/flow_monitor.h"
#include "protocol/connectivity_check.h"
#include "protocol/tunnel_snapshot.h"

namespace vantorel {

struct ConnectAdmission {
    bool accepted = false;
    TunnelSnapshot snapshot;
};

// The session a disconnect or a suspend asked to end, as its snapshot showed it. A stop aimed
// at an earlier generation leaves a newer session alone; one aimed at a session that was live
// and has ended since does nothing more, since that end already published its idle.
struct StopTarget {
    long long generation = 0;
    bool live = false;  // not yet ended: the state was not idle, or its cleanup was unverified
};

// What a snapshot says about ending its session.
StopTarget StopTargetOf(const TunnelSnapshot& snapshot);

// How the service host asks for a connect to be admitted.
struct AdmissionRequest {
    // True once the service is stopping: the connect is refused with service_stopping.
    std::function<bool()> give_up;
    // Runs under the controller's lock once the connect is to be admitted, before the new
    // generation exists: hands the session to the worker. False (the worker takes no more tasks)
    // refuses the connect with service_stopping and changes nothing.
    std::function<bool()> start;
};

// A stop the service host has queued for the worker; a connect waits until every one of them
// has been run or dropped. Released by destroying the last copy.
using QueuedStop = std::shared_ptr<void>;

enum class ProofVerdict { none, passed, failed };

struct TeardownOutcome {
    bool verified = false;        // every removal was checked and held
    bool engine_stopped = false;  // the engine process is gone
};

class TunnelController {
public:
    TunnelController(RouteTable& routes, EngineHost& engine, NameResolver& resolver, ConnectivityProbe& probe,
                     SessionFiles& files, TunnelLog& log, Sleeper& sleeper, Firewall& firewall);
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    void set_snapshot_listener(std::function<void(const TunnelSnapshot&)> listener);
    void set_tun_ready_listener(std::function<void(long long)> listener);
    void set_flow_probe_factory(FlowProbeFactory factory);
    // Whether a client that received the last tun_ready can still answer it; without one the
    // wait for the verdict ends at once. Not installed: always true.
    void set_proof_audience(std::function<bool()> present);
    // Test hooks; the service never installs them.
    void set_checkpoint_observer(std::function<void(int)> observer);
    void set_clock(std::function<unsigned long long()> clock_ms);

    TunnelSnapshot snapshot() const;
    // Connections the flow monitor holds (those of its last poll). Worker thread, or tests.
    std::size_t flow_connections_tracked() const;
    // Admission. A connect that arrives while a teardown runs or a stop is queued waits for it
    // (at most kTeardownBoundMs after the later of its arrival and the teardown's start), so it
    // is decided on the ledger the teardown leaves. A refusal changes nothing snapshot() reports.
    ConnectAdmission begin_connect(const AdmissionRequest& request = AdmissionRequest{});
    // Registers a stop the caller is about to post; keep the result inside the posted task.
    QueuedStop queue_stop();
    // The service is stopping: waiting and later connects are refused with service_stopping.
    void close_admission();
    TunnelSnapshot run_connect(const ConnectJob& job, const std::atomic<bool>& cancel);
    TunnelSnapshot stop();
    TunnelSnapshot stop(const StopTarget& target);
    // The service's last act: no connect is admitted any more, then the session ends.
    TunnelSnapshot final_stop();
    TunnelSnapshot watch_network(const std::atomic<bool>& cancel);
    TunnelSnapshot recover_at_startup(const std::atomic<bool>& cancel);
    void record_proof(bool passed, long long generation);

    // Copy of the ledger record, for tests and diagnostics.
    SessionLedger ledger_copy() const;

    // How long run_connect waits for the proof verdict after reporting the adapter ready: longer
    // than the controller's proof can take, so every verdict it sends is still awaited.
    static constexpr int kProofWaitStepMs = 100;
    static constexpr int kProofWaitSteps = kProofVerdictWaitMs / kProofWaitStepMs;
    static_assert(kProofWaitSteps * kProofWaitStepMs > kProofLongestMs, "the wait must outlast the proof");
    // The wait for the engine's adapter, in polls of 100 ms. sing-box itself warns only after
    // 10 s and Wintun adapters have been seen to take 10-15 s: 25 s lets a slow but healthy start
    // through, and a dead engine or its FATAL line ends the wait at once anyway.
    static constexpr int kTunWaitPolls = 250;
    // Polls an engine that printed its FATAL line gets to exit before the wait gives up on it.
    static constexpr int kFatalExitPolls = 10;
    // 100 ms polls of a living engine for a listen error (or its listening line) before its
    // control API counts as held: the listener starts within milliseconds of the inbounds.
    static constexpr int kApiListenPolls = 5;
    // A start that lost its API port to another process gets one more start.
    static constexpr int kEngineStarts = 2;
    // The teardown's own bound: its engine waits, its wait for removed adapters to vanish, and
    // an allowance for the platform calls between them.
    static constexpr int kStopWaitChecks = 20;
    static constexpr int kTerminateWaitChecks = 50;
    static constexpr int kAdapterGoneChecks = 20;
    static constexpr unsigned long long kTeardownCallsAllowanceMs = 6000;
    static constexpr unsigned long long kTeardownBoundMs =
        (kStopWaitChecks + kTerminateWaitChecks + kAdapterGoneChecks) * 100ULL + kTeardownCallsAllowanceMs;
    static constexpr int kAdmissionWaitSliceMs = 100;
    // How long a failed egress check waits for the engine's line about a refused key.
    static constexpr int kAuthVerdictWaitStepMs = 100;
    static constexpr int kAuthVerdictWaitSteps = 10;

private:
    // Shared by the procedures.
    TunnelSnapshot publish(ErrorCode code, const std::string& message, bool cleanup_verified);
    // Under lock_: the publish's record keeping.
    TunnelSnapshot store_snapshot(ErrorCode code, const std::string& message, bool cleanup_verified);
    // Outside lock_: the publish's state line and the listener.
    void announce(const TunnelSnapshot& published, std::uint32_t route_error = 0);
    void update_ledger(const std::function<void()>& change);
    // Saves the ledger; the caller holds lock_.
    void save_ledger_held();
    bool checkpoint(ConnectCheckpoint point, const std::atomic<bool>& cancel);
    long long generation() const;
    // Under lock_ (held by `guard`, released while waiting): the code that refuses a connect,
    // or none when it may be admitted.
    ErrorCode await_admission(std::unique_lock<std::mutex>& guard, const AdmissionRequest& request);

    // The connect's phases run in a ConnectSequence, which reaches the services and the ledger
    // through the members below.
    friend class ConnectSequence;
    TunnelSnapshot end_connect(const PhaseOutcome& outcome);

    // Teardown.
    // route_error: the Windows error of the route step that failed, logged with route_failed.
    TunnelSnapshot finish_session(ErrorCode code, const std::string& message, bool clean,
                                  const StopTarget* target = nullptr, std::uint32_t route_error = 0);
    TunnelSnapshot finish_cancelled();
    // Under lock_: whether a targeted stop still has a session to end.
    bool stop_applies(const StopTarget& target) const;
    // Under lock_: the session becomes disconnecting and its ledger is saved.
    void claim_teardown();
    // Removes what the ledger names or the host shows.
    TeardownOutcome remove_host_changes();
    // Under lock_: records the outcome and stores the final snapshot, so no admission can
    // slip between the ledger's reset and the snapshot that ends the session.
    TunnelSnapshot conclude_teardown(const TeardownOutcome& outcome, ErrorCode code, const std::string& message,
                                     bool clean);
    bool stop_engine();
    bool remove_pin_routes();
    // Deletes the routes of every own adapter and of every ledger interface that is gone or
    // still ours; `luids` gets those interfaces for the check after the adapters are removed.
    bool clean_interfaces(std::vector<std::uint64_t>& luids);
    bool remove_own_adapters();
    bool interfaces_clean(const std::vector<std::uint64_t>& luids);
    bool remove_engine_config();
    bool remove_firewall();

    RouteTable& routes_;
    EngineHost& engine_;
    NameResolver& resolver_;
    ConnectivityProbe& probe_;
    SessionFiles& files_;
    TunnelLog& log_;
    Sleeper& sleeper_;
    Firewall& firewall_;

    mutable std::mutex lock_;
    SessionLedger ledger_;
    TunnelSnapshot current_;
    std::function<void(const TunnelSnapshot&)> snapshot_listener_;
    std::function<void(long long)> tun_ready_listener_;
    std::function<bool()> proof_audience_;
    std::function<void(int)> checkpoint_observer_;
    FlowProbeFactory flow_probe_factory_;
    std::function<unsigned long long()> clock_ms_;
    FlowMonitor flow_monitor_{log_};
    // Worker thread only: the route table as the last connect left it, for the watch.
    std::vector<RouteRow> connect_routes_;
    long long proven_generation_ = 0;
    ProofVerdict proof_verdict_ = ProofVerdict::none;
    // Guarded by lock_. A teardown runs from its claim until its final snapshot is announced;
    // a connect waits for it and for every queued stop. None is admitted once the service stops.
    bool teardown_running_ = false;
    unsigned long long teardown_started_ms_ = 0;
    int stops_queued_ = 0;
    bool admission_closed_ = false;
    // An admitted session whose run_connect has not started: a final stop that finds one ends
    // it with service_stopping.
    bool start_pending_ = false;
    std::condition_variable teardown_done_;
};

}  // namespace vantorel
