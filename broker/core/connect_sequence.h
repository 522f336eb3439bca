#pragma once
// One connect, phase by phase: foreign tunnel, profile and server, engine, TUN wait, pin route,
// egress, filters, capture routes, proof. Every host change is entered in the ledger before or
// right after it is made, so a crash at any point is undone by the next start. A new step is a
// method here and a row of kPhases; the controller keeps the session record, teardown and watch.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "broker/contracts/platform_services.h"
#include "broker/engine/server_profile.h"

namespace vantorel {

class TunnelController;

enum class PhaseResult { proceed, cancelled, failed };

// How a connect phase ended. A failure carries the code, the user text when it is not the
// code's own, and the route table's error at the moment a route step failed (the teardown that
// follows overwrites routes.last_error()).
struct PhaseOutcome {
    PhaseResult result = PhaseResult::proceed;
    ErrorCode code = ErrorCode::none;
    std::string message;
    std::uint32_t route_error = 0;

    static PhaseOutcome proceed() { return PhaseOutcome{}; }
    static PhaseOutcome cancelled() { return PhaseOutcome{PhaseResult::cancelled, ErrorCode::none, {}, 0}; }
    static PhaseOutcome failed(ErrorCode code, std::string message = {}, std::uint32_t route_error = 0) {
        return PhaseOutcome{PhaseResult::failed, code, std::move(message), route_error};
    }
};

// What the phases of one connect learn and hand on.
struct ConnectContext {
    ServerProfile profile;
    std::string server_ip;
    std::uint16_t api_port = 0;
    std::string api_secret;
    AdapterInfo tun;
    PinRoute pin;  // the route to the server through the uplink, once pinned
    std::string check_ip;
};

// Where a connect may be cancelled, as the checkpoint observer sees them. The numbers are that
// hook's interface (the tests name the points by them), so a point keeps its number for good and
// a new one takes the next free number; they are not in the order a connect reaches them.
enum ConnectCheckpoint : int {
    kCheckpointRunStart = 0,         // run_connect began, nothing changed yet
    kCheckpointBeforeEngine = 1,     // profile and server known, no engine yet
    kCheckpointPinAdded = 5,         // the pin route is in the table
    kCheckpointConfigWritten = 6,    // the engine's configuration file exists
    kCheckpointProcessCreated = 7,   // the engine process exists, suspended
    kCheckpointJobAssigned = 8,      // the engine is in the broker's job
    kCheckpointEngineResumed = 9,    // the engine runs
    kCheckpointBeforeConnected = 10  // every phase passed, the session not yet connected
};

class ConnectSequence {
public:
    ConnectSequence(TunnelController& controller, const ConnectJob& job, const std::atomic<bool>& cancel)
        : c_(controller), job_(job), cancel_(cancel) {}

    // Runs the phases in order: the outcome of the first that does not proceed, else proceed.
    PhaseOutcome run();

private:
    struct Phase {
        const char* name;
        PhaseOutcome (ConnectSequence::*step)();
    };
    static const Phase kPhases[];

    PhaseOutcome check_foreign_tunnel();
    // The engine's adapter may have moved the default routes: look again before pinning.
    PhaseOutcome recheck_foreign_tunnel();
    PhaseOutcome resolve_profile();
    PhaseOutcome check_server_address();
    PhaseOutcome cancel_point_before_engine();
    PhaseOutcome start_engine();
    PhaseOutcome wait_for_engine();
    PhaseOutcome pin_server_route();
    PhaseOutcome prove_egress();
    PhaseOutcome raise_firewall();
    PhaseOutcome install_capture();
    PhaseOutcome await_proof();

    PhaseOutcome foreign_tunnel_gate(const char* list_failure_reason);
    PhaseOutcome write_engine_config();
    PhaseOutcome wait_for_tun();
    PhaseOutcome await_api_listener();
    void retire_engine();
    bool engine_rejected_key();
    // Windows name resolution runs on a thread of its own; starting it can throw.
    bool resolve(const std::string& host, std::string& ipv4);
    PhaseOutcome route_step_failed(const char* reason);
    void log_gate(const std::string& stage, const std::string& outcome);
    void log_engine_failure(const char* fallback);
    void diagnose_tun_timeout();
    bool cancelled() const { return cancel_.load(std::memory_order_acquire); }
    bool checkpoint(ConnectCheckpoint point);
    long long generation() const;

    TunnelController& c_;
    const ConnectJob& job_;
    const std::atomic<bool>& cancel_;
    ConnectContext context_;
};

}  // namespace vantorel
