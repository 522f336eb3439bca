#include "broker/core/connect_sequence.h"

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "broker/core/firewall_policy.h"
#include "broker/core/foreign_tunnel.h"
#include "broker/core/ipv6_capture_rule.h"
#include "broker/core/tunnel_controller.h"
#include "broker/engine/engine_config.h"
#include "broker/engine/output_analysis.h"
#include "broker/portable/api_secret.h"
#include "broker/portable/uplink_choice.h"
#include "protocol/connectivity_check.h"

namespace vantorel {

const ConnectSequence::Phase ConnectSequence::kPhases[] = {
    {"foreign_tunnel", &ConnectSequence::check_foreign_tunnel},
    {"resolve", &ConnectSequence::resolve_profile},
    {"server_address", &ConnectSequence::check_server_address},
    {"before_engine", &ConnectSequence::cancel_point_before_engine},
    {"engine_start", &ConnectSequence::start_engine},
    {"engine_ready", &ConnectSequence::wait_for_engine},
    {"foreign_tunnel_again", &ConnectSequence::recheck_foreign_tunnel},
    {"pin_route", &ConnectSequence::pin_server_route},
    {"egress", &ConnectSequence::prove_egress},
    // Filters first: the capture routes never carry traffic that the filters do not hold.
    {"firewall", &ConnectSequence::raise_firewall},
    {"capture", &ConnectSequence::install_capture},
    {"proof", &ConnectSequence::await_proof},
};

PhaseOutcome ConnectSequence::run() {
    for (const Phase& phase : kPhases) {
        PhaseOutcome outcome = (this->*phase.step)();
        if (outcome.result != PhaseResult::proceed) return outcome;
    }
    return PhaseOutcome::proceed();
}

PhaseOutcome ConnectSequence::route_step_failed(const char* reason) {
    const std::uint32_t error = c_.routes_.last_error();
    if (reason != nullptr) c_.log_.write(generation(), "routes", reason, error);
    return PhaseOutcome::failed(ErrorCode::route_failed, {}, error);
}

PhaseOutcome ConnectSequence::check_foreign_tunnel() { return foreign_tunnel_gate(nullptr); }

PhaseOutcome ConnectSequence::recheck_foreign_tunnel() { return foreign_tunnel_gate("pin_failed"); }

PhaseOutcome ConnectSequence::foreign_tunnel_gate(const char* list_failure_reason) {
    std::vector<DefaultRouteInfo> defaults;
    log_gate("foreign_tunnel", "");
    if (!c_.routes_.list_default_routes(defaults)) return route_step_failed(list_failure_reason);
    const std::string foreign = find_foreign_tunnel(defaults);
    if (!foreign.empty()) {
        c_.log_.write(generation(), "foreign_adapter", foreign, 0);
        return PhaseOutcome::failed(ErrorCode::foreign_tunnel, MessageForCode(ErrorCode::foreign_tunnel));
    }
    log_gate("foreign_tunnel", "ok");
    return PhaseOutcome::proceed();
}

bool ConnectSequence::resolve(const std::string& host, std::string& ipv4) {
    try {
        return c_.resolver_.resolve_ipv4(host, ipv4);
    } catch (const std::exception&) {
        return false;
    }
}

PhaseOutcome ConnectSequence::resolve_profile() {
    log_gate("resolve", "");
    std::string error_field;
    if (!ParseServerProfile(job_.uri, context_.profile, error_field)) {
        if (error_field == "port") {
            std::string detail = context_.profile.server_ports.substr(0, 32);
            if (detail.find('@') != std::string::npos) detail = "port";
            c_.log_.write(generation(), "profile_parse_failed", detail, 0);
            return PhaseOutcome::failed(ErrorCode::invalid_profile);
        }
        // The link itself is at fault, not a name lookup: say which part.
        c_.log_.write(generation(), "profile_parse_failed", error_field, 0);
        return PhaseOutcome::failed(ErrorCode::invalid_link, LinkRefusalMessage(error_field));
    }
    if (!resolve(context_.profile.host, context_.server_ip)) return PhaseOutcome::failed(ErrorCode::resolve_failed);
    log_gate("resolve", "ok");
    return PhaseOutcome::proceed();
}

// A link naming this host, its router, or no host at all would get a pin route through the
// uplink and the engine's traffic would never reach a server: refused before anything changes.
// Lookups that fail leave their part unchecked; the pin step reports a route failure itself.
// Text that is no dotted IPv4 address is the configuration builder's to refuse.
PhaseOutcome ConnectSequence::check_server_address() {
    PinRoute uplink;
    std::string gateway;
    if (c_.routes_.find_physical_route(context_.server_ip, uplink)) gateway = uplink.next_hop;
    std::vector<std::string> own;
    if (!c_.routes_.list_local_ipv4(own)) own.clear();
    const ServerAddressVerdict verdict = JudgeServerAddress(context_.server_ip, gateway, own);
    if (verdict == ServerAddressVerdict::server || verdict == ServerAddressVerdict::unparsable) {
        return PhaseOutcome::proceed();
    }
    c_.log_.write(generation(), "server_address", ServerAddressVerdictName(verdict), 0);
    return PhaseOutcome::failed(ErrorCode::server_address_refused);
}

PhaseOutcome ConnectSequence::cancel_point_before_engine() {
    return checkpoint(kCheckpointBeforeEngine) ? PhaseOutcome::cancelled() : PhaseOutcome::proceed();
}

PhaseOutcome ConnectSequence::write_engine_config() {
    const std::string config =
        BuildEngineConfig(context_.profile, context_.server_ip, job_.direct_domains, job_.force_proxy_domains,
                          job_.udp_direct, context_.api_port, context_.api_secret);
    std::uint32_t error = 0;
    if (config.empty()) {
        error = win32_error::invalid_data;
    } else if (!c_.files_.write_engine_config(config)) {
        error = c_.files_.last_error();
    } else {
        return PhaseOutcome::proceed();
    }
    // A full disk is the user's to fix, and no restart of anything helps: say so.
    if (error == win32_error::disk_full || error == win32_error::handle_disk_full) {
        c_.log_.write(generation(), "core_config_failed", "disk_full", error);
        return PhaseOutcome::failed(ErrorCode::disk_full);
    }
    c_.log_.write(generation(), "core_config_failed", "", error);
    return PhaseOutcome::failed(ErrorCode::core_start_failed);
}

PhaseOutcome ConnectSequence::start_engine() {
    log_gate("core", "");
    std::unique_ptr<FlowProbe> flow_probe;
    if (c_.flow_probe_factory_) {
        std::uint16_t port = 0;
        if (c_.probe_.reserve_local_port(port)) {
            std::string secret = make_api_secret();
            // Without a random secret the API is not served at all.
            if (secret.empty()) c_.log_.write(generation(), "flow", "no_secret", 0);
            if (!secret.empty()) flow_probe = c_.flow_probe_factory_(port, secret);
            if (flow_probe) {
                context_.api_port = port;
                context_.api_secret = std::move(secret);
            }
        }
    }
    c_.flow_monitor_.start(std::move(flow_probe));

    PhaseOutcome outcome = write_engine_config();
    if (outcome.result != PhaseResult::proceed) return outcome;
    c_.update_ledger([this] { c_.ledger_.config_written = true; });
    if (checkpoint(kCheckpointConfigWritten)) return PhaseOutcome::cancelled();

    std::uint32_t pid = 0;
    if (!c_.engine_.start(pid)) {
        log_engine_failure("core_create_process_failed");
        // Not a fault of the engine: its files can be changed by other users, which only a
        // reinstall (or an administrator fixing the folder's permissions) mends.
        const bool untrusted = std::string_view(c_.engine_.last_code()) == "core_engine_untrusted";
        return PhaseOutcome::failed(untrusted ? ErrorCode::engine_untrusted : ErrorCode::core_start_failed);
    }
    c_.update_ledger([this, pid] { c_.ledger_.pid = pid; });
    if (checkpoint(kCheckpointProcessCreated)) return PhaseOutcome::cancelled();

    if (!c_.engine_.assign_job()) {
        log_engine_failure("core_job_assign_failed");
        c_.engine_.terminate();
        c_.engine_.release();
        c_.update_ledger([this] { c_.ledger_.pid = 0; });
        return PhaseOutcome::failed(ErrorCode::core_start_failed);
    }
    if (checkpoint(kCheckpointJobAssigned)) return PhaseOutcome::cancelled();
    if (!c_.engine_.resume()) {
        log_engine_failure("core_resume_failed");
        return PhaseOutcome::failed(ErrorCode::core_start_failed);
    }
    if (checkpoint(kCheckpointEngineResumed)) return PhaseOutcome::cancelled();
    return PhaseOutcome::proceed();
}

PhaseOutcome ConnectSequence::wait_for_tun() {
    bool found = false;
    int exit_polls_left = -1;  // counting down once the engine printed its FATAL line
    for (int poll = 0; poll < TunnelController::kTunWaitPolls && !found && exit_polls_left != 0; ++poll) {
        if (cancelled()) return PhaseOutcome::cancelled();
        if (!c_.engine_.is_running()) {
            c_.log_.write(generation(), "core_exited", RedactSecretsShort(c_.engine_.output()), c_.engine_.exit_code());
            return PhaseOutcome::failed(ErrorCode::core_exited);
        }
        found = c_.routes_.find_tun_adapter(context_.tun);
        if (found) break;
        if (exit_polls_left > 0) {
            --exit_polls_left;
        } else if (EngineReportedFatal(c_.engine_.output())) {
            exit_polls_left = TunnelController::kFatalExitPolls;
        }
        c_.sleeper_.sleep_ms(100);
    }
    if (!found) {
        diagnose_tun_timeout();
        return PhaseOutcome::failed(ErrorCode::tun_init_timeout);
    }
    log_gate("core", "ok");
    c_.update_ledger([this] {
        c_.ledger_.adapter_known = true;
        c_.ledger_.adapter = context_.tun;
    });
    return PhaseOutcome::proceed();
}

// The API port was free when reserved, but any process may bind it before the engine does;
// the engine then ends with a listen error. One start on another port recovers the session.
PhaseOutcome ConnectSequence::wait_for_engine() {
    for (int start = 1;; ++start) {
        PhaseOutcome outcome = wait_for_tun();
        if (outcome.result == PhaseResult::proceed) outcome = await_api_listener();
        if (outcome.result != PhaseResult::failed || start >= TunnelController::kEngineStarts ||
            context_.api_port == 0 || ReadApiListener(c_.engine_.output()) != ApiListener::listen_failed) {
            return outcome;
        }
        c_.log_.write(generation(), "flow", "api_port_taken", 0);
        retire_engine();
        context_.api_port = 0;
        context_.api_secret.clear();
        outcome = start_engine();
        if (outcome.result != PhaseResult::proceed) return outcome;
    }
}

// The port is published only once the engine holds it: before, a reader could take it first.
// At the engine's "warn" level its listening line (an info line) never comes; the listener starts
// right after the inbounds, so an engine that lives on without a listen error holds the port.
PhaseOutcome ConnectSequence::await_api_listener() {
    if (context_.api_port == 0) return PhaseOutcome::proceed();
    for (int poll = 0;; ++poll) {
        if (cancelled()) return PhaseOutcome::cancelled();
        const std::string output = c_.engine_.output();
        const ApiListener listener = ReadApiListener(output);
        if (listener == ApiListener::listen_failed) {
            c_.log_.write(generation(), "core_exited", RedactSecretsShort(output), c_.engine_.exit_code());
            return PhaseOutcome::failed(ErrorCode::core_exited);
        }
        if (listener == ApiListener::listening || poll >= TunnelController::kApiListenPolls) break;
        if (!c_.engine_.is_running()) {
            c_.log_.write(generation(), "core_exited", RedactSecretsShort(c_.engine_.output()), c_.engine_.exit_code());
            return PhaseOutcome::failed(ErrorCode::core_exited);
        }
        c_.sleeper_.sleep_ms(100);
    }
    c_.log_.write(generation(), "flow", "api_port=" + std::to_string(context_.api_port), 0);
    return PhaseOutcome::proceed();
}

// Ends the engine whose start failed and waits for its adapter to go, so the next start's
// adapter is not mistaken for it.
void ConnectSequence::retire_engine() {
    c_.engine_.terminate();
    c_.engine_.release();
    c_.update_ledger([this] { c_.ledger_.pid = 0; });
    AdapterInfo stale;
    for (int poll = 0; poll < TunnelController::kTunWaitPolls && c_.routes_.find_tun_adapter(stale); ++poll)
        c_.sleeper_.sleep_ms(100);
}

PhaseOutcome ConnectSequence::pin_server_route() {
    log_gate("routes", "");
    if (!c_.routes_.find_physical_route(context_.server_ip, context_.pin)) return route_step_failed("pin_failed");
    c_.update_ledger([this] {
        c_.ledger_.pin_intended = true;
        c_.ledger_.pin = context_.pin;
    });
    if (!c_.routes_.add_pin_route(context_.pin)) return route_step_failed("pin_failed");
    if (checkpoint(kCheckpointPinAdded)) return PhaseOutcome::cancelled();
    return PhaseOutcome::proceed();
}

// The check host is reached over a host route into the TUN, before any capture route exists.
PhaseOutcome ConnectSequence::prove_egress() {
    log_gate("resolve", "");
    if (!resolve(kConnectivityCheckHost, context_.check_ip)) return PhaseOutcome::failed(ErrorCode::resolve_failed);
    log_gate("resolve", "ok");

    CaptureRoute canary;
    if (!c_.routes_.add_host_route(context_.tun, context_.check_ip, canary)) return route_step_failed("canary_failed");
    c_.update_ledger([this, &canary] { c_.ledger_.routes.push_back(canary); });

    log_gate("egress", "");
    const bool passed = c_.routes_.probe_http_direct(context_.check_ip, [this] { return cancelled(); });
    if (cancelled()) return PhaseOutcome::cancelled();
    if (!passed) {
        const bool rejected = engine_rejected_key();
        if (!rejected && cancelled()) return PhaseOutcome::cancelled();
        // The engine's own account of the failed check: its last lines.
        const std::string reason = RedactSecretsShort(c_.engine_.output());
        if (!reason.empty()) c_.log_.write(generation(), "engine_reason", reason, 0);
        if (rejected) {
            c_.log_.write(generation(), "egress", "auth_rejected", 0);
            return PhaseOutcome::failed(ErrorCode::auth_rejected);
        }
        c_.log_.write(generation(), "egress", "timeout", kDirectProbeTimeoutMs);
        return PhaseOutcome::failed(ErrorCode::egress_timeout);
    }
    log_gate("egress", "ok");

    if (!c_.routes_.delete_host_route(canary)) return route_step_failed("canary_failed");
    c_.update_ledger([this] { c_.ledger_.routes.clear(); });
    return PhaseOutcome::proceed();
}

// The engine closes the check's connection when the server refuses the key and logs why at
// about the same moment, so its line may land just after the probe has failed: it gets a short
// while to arrive before the failure is called a time-out.
bool ConnectSequence::engine_rejected_key() {
    const bool reality = context_.profile.security == "reality";
    for (int check = 0;; ++check) {
        const std::string output = c_.engine_.output();
        if (IsAuthFailure(output) || (reality && IsRealityRefusal(output))) return true;
        if (check >= TunnelController::kAuthVerdictWaitSteps || cancelled()) return false;
        c_.sleeper_.sleep_ms(TunnelController::kAuthVerdictWaitStepMs);
    }
}

// The tunnel's resolver comes first: once the filters hold DNS to the tunnel, it is the host's
// only one.
PhaseOutcome ConnectSequence::raise_firewall() {
    log_gate("firewall", "");
    c_.update_ledger([this] { c_.ledger_.tunnel_dns_guid = context_.tun.guid; });
    if (!c_.firewall_.set_tunnel_dns(context_.tun.guid, kTunnelDnsServer)) {
        c_.log_.write(generation(), "firewall", "dns_failed", c_.firewall_.last_error());
        return PhaseOutcome::failed(ErrorCode::firewall_failed);
    }
    c_.update_ledger([this] { c_.ledger_.firewall_open = true; });
    if (!c_.firewall_.open(SessionFirewallPolicy(context_.tun, context_.server_ip))) {
        c_.log_.write(generation(), "firewall", "open_failed", c_.firewall_.last_error());
        return PhaseOutcome::failed(ErrorCode::firewall_failed);
    }
    // Answers the on-link resolver gave before the connect would be used past the tunnel.
    c_.firewall_.flush_resolver_cache();
    log_gate("firewall", "ok");
    return PhaseOutcome::proceed();
}

PhaseOutcome ConnectSequence::install_capture() {
    std::vector<CaptureRoute> installed;
    if (!c_.routes_.add_capture_routes(context_.tun, installed)) {
        const std::uint32_t capture_error = c_.routes_.last_error();
        if (!FailedOnlyForIpv6(installed, capture_error)) {
            c_.log_.write(generation(), "routes", "capture_failed", capture_error);
            return PhaseOutcome::failed(ErrorCode::route_failed, kCaptureFailedMessage, capture_error);
        }
        bool ipv6_out = false;
        const bool known = c_.routes_.ipv6_default_route_present(ipv6_out);
        const Ipv6CaptureOutcome outcome = DecideIpv6Capture(known, ipv6_out);
        c_.log_.write(generation(), "routes", Ipv6CaptureLogCode(outcome),
                      known ? capture_error : c_.routes_.last_error());
        if (outcome != Ipv6CaptureOutcome::ipv4_only) {
            return PhaseOutcome::failed(ErrorCode::route_failed, kCaptureFailedMessage, capture_error);
        }
    }
    c_.update_ledger([this, &installed] { c_.ledger_.routes = installed; });

    AdapterInfo tun_now;
    std::vector<CaptureRoute> found;
    if (!c_.routes_.verify_capture_routes(tun_now, found)) {
        diagnose_tun_timeout();
        return PhaseOutcome::failed(ErrorCode::tun_init_timeout);
    }
    // The watch compares later tables with this one.
    if (!c_.routes_.list_routes(c_.connect_routes_)) return route_step_failed("table_unreadable");
    c_.log_.write(generation(), "routes", "capture_installed", static_cast<std::uint32_t>(installed.size()));
    log_gate("routes", "ok");
    return PhaseOutcome::proceed();
}

PhaseOutcome ConnectSequence::await_proof() {
    if (!c_.tun_ready_listener_) return PhaseOutcome::proceed();
    const long long gen = generation();
    c_.tun_ready_listener_(gen);
    for (int step = 0;; ++step) {
        if (cancelled()) return PhaseOutcome::cancelled();
        ProofVerdict verdict = ProofVerdict::none;
        {
            std::lock_guard<std::mutex> guard(c_.lock_);
            if (c_.proven_generation_ == gen) verdict = c_.proof_verdict_;
        }
        if (verdict == ProofVerdict::passed) {
            c_.log_.write(gen, "proof", "ok", 0);
            return PhaseOutcome::proceed();
        }
        if (verdict == ProofVerdict::failed) {
            c_.log_.write(gen, "proof", "fail", 0);
            return PhaseOutcome::failed(ErrorCode::egress_failed);
        }
        // Nobody got the tun_ready, or the client that did has gone: no verdict can come.
        if (c_.proof_audience_ && !c_.proof_audience_()) {
            c_.log_.write(gen, "proof", "no_client", 0);
            return PhaseOutcome::proceed();
        }
        if (step >= TunnelController::kProofWaitSteps) break;
        c_.sleeper_.sleep_ms(TunnelController::kProofWaitStepMs);
    }
    c_.log_.write(gen, "proof", "timeout", 0);
    return PhaseOutcome::proceed();
}

void ConnectSequence::log_gate(const std::string& stage, const std::string& outcome) {
    c_.log_.write(generation(), "gate", outcome.empty() ? stage : stage + "=" + outcome, 0);
}

void ConnectSequence::log_engine_failure(const char* fallback) {
    const std::string code = c_.engine_.last_code();
    c_.log_.write(generation(), code.empty() ? std::string(fallback) : code, "", c_.engine_.last_error());
}

bool ConnectSequence::checkpoint(ConnectCheckpoint point) { return c_.checkpoint(point, cancel_); }

long long ConnectSequence::generation() const { return c_.generation(); }

}  // namespace vantorel
