// A connect, phase by phase: foreign tunnel, profile and server, engine, TUN wait, pin route,
// egress, filters, capture routes, proof. Every host change is entered in the ledger before or right
// after it is made, so a crash at any point is undone by the next start.

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "broker/core/firewall_policy.h"
#include "broker/core/ipv6_capture_rule.h"
#include "broker/core/tunnel_controller.h"
#include "broker/engine/engine_config.h"
#include "broker/engine/output_analysis.h"
#include "broker/portable/api_secret.h"
#include "broker/portable/uplink_choice.h"
#include "protocol/connectivity_check.h"

namespace vantorel {

namespace {

bool Cancelled(const std::atomic<bool>& cancel) { return cancel.load(std::memory_order_acquire); }

}  // namespace

TunnelSnapshot TunnelController::run_connect(const ConnectJob& job, const std::atomic<bool>& cancel) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ledger_.phase != SessionState::connecting) return current_;
        start_pending_ = false;
    }
    publish(ErrorCode::none, std::string(), false);
    if (checkpoint(0, cancel)) return finish_cancelled();

    ConnectContext context;
    const PhaseOutcome outcome = run_phases(job, cancel, context);
    if (outcome.result != PhaseResult::proceed) return end_connect(outcome);

    if (checkpoint(10, cancel)) return finish_cancelled();
    {
        std::lock_guard<std::mutex> guard(lock_);
        ledger_.phase = SessionState::connected;
        save_ledger_held();
    }
    return publish(ErrorCode::none, std::string(), false);
}

PhaseOutcome TunnelController::run_phases(const ConnectJob& job, const std::atomic<bool>& cancel,
                                          ConnectContext& context) {
    const std::function<PhaseOutcome()> phases[] = {
        [&] { return check_foreign_tunnel(nullptr); },
        [&] { return resolve_profile(job, context); },
        [&] { return check_server_address(context); },
        [&] { return checkpoint(1, cancel) ? PhaseOutcome::cancelled() : PhaseOutcome::proceed(); },
        [&] { return start_engine(job, context, cancel); },
        [&] { return wait_for_engine(job, context, cancel); },
        // The engine's adapter may have moved the default routes: look again before pinning.
        [&] { return check_foreign_tunnel("pin_failed"); },
        [&] { return pin_server_route(context, cancel); },
        [&] { return prove_egress(context, cancel); },
        // Filters first: the capture routes never carry traffic that the filters do not hold.
        [&] { return raise_firewall(context); },
        [&] { return install_capture(context); },
        [&] { return tun_ready_listener_ ? await_proof(cancel) : PhaseOutcome::proceed(); },
    };
    for (const auto& phase : phases) {
        PhaseOutcome outcome = phase();
        if (outcome.result != PhaseResult::proceed) return outcome;
    }
    return PhaseOutcome::proceed();
}

TunnelSnapshot TunnelController::end_connect(const PhaseOutcome& outcome) {
    if (outcome.result == PhaseResult::cancelled) return finish_cancelled();
    return finish_session(outcome.code, outcome.message, false, nullptr, outcome.route_error);
}

TunnelSnapshot TunnelController::finish_cancelled() { return finish_session(ErrorCode::none, std::string(), true); }

PhaseOutcome TunnelController::route_step_failed(const char* reason) {
    const std::uint32_t error = routes_.last_error();
    if (reason != nullptr) log_.write(generation(), "routes", reason, error);
    return PhaseOutcome::failed(ErrorCode::route_failed, {}, error);
}

PhaseOutcome TunnelController::check_foreign_tunnel(const char* list_failure_reason) {
    std::vector<DefaultRouteInfo> defaults;
    log_gate("foreign_tunnel", "");
    if (!routes_.list_default_routes(defaults)) return route_step_failed(list_failure_reason);
    const std::string foreign = find_foreign_tunnel(defaults);
    if (!foreign.empty()) {
        log_.write(generation(), "foreign_adapter", foreign, 0);
        return PhaseOutcome::failed(ErrorCode::foreign_tunnel, MessageForCode(ErrorCode::foreign_tunnel));
    }
    log_gate("foreign_tunnel", "ok");
    return PhaseOutcome::proceed();
}

// Windows name resolution runs on a thread of its own; starting it can throw.
PhaseOutcome TunnelController::resolve_profile(const ConnectJob& job, ConnectContext& context) {
    log_gate("resolve", "");
    bool resolved = false;
    try {
        std::string error_field;
        if (!ParseServerProfile(job.uri, context.profile, error_field)) {
            if (error_field == "port") {
                std::string detail = context.profile.server_ports.substr(0, 32);
                if (detail.find('@') != std::string::npos) detail = "port";
                log_.write(generation(), "profile_parse_failed", detail, 0);
                return PhaseOutcome::failed(ErrorCode::invalid_profile);
            }
            // The link itself is at fault, not a name lookup: say which part.
            log_.write(generation(), "profile_parse_failed", error_field, 0);
            return PhaseOutcome::failed(ErrorCode::invalid_link, LinkRefusalMessage(error_field));
        }
        resolved = resolver_.resolve_ipv4(context.profile.host, context.server_ip);
    } catch (const std::exception&) {
        resolved = false;
    }
    if (!resolved) return PhaseOutcome::failed(ErrorCode::resolve_failed);
    log_gate("resolve", "ok");
    return PhaseOutcome::proceed();
}

// A link naming this host, its router, or no host at all would get a pin route through the
// uplink and the engine's traffic would never reach a server: refused before anything changes.
// Lookups that fail leave their part unchecked; the pin step reports a route failure itself.
// Text that is no dotted IPv4 address is the configuration builder's to refuse.
PhaseOutcome TunnelController::check_server_address(const ConnectContext& context) {
    PinRoute uplink;
    std::string gateway;
    if (routes_.find_physical_route(context.server_ip, uplink)) gateway = uplink.next_hop;
    std::vector<std::string> own;
    if (!routes_.list_local_ipv4(own)) own.clear();
    const ServerAddressVerdict verdict = JudgeServerAddress(context.server_ip, gateway, own);
    if (verdict == ServerAddressVerdict::server || verdict == ServerAddressVerdict::unparsable) {
        return PhaseOutcome::proceed();
    }
    log_.write(generation(), "server_address", ServerAddressVerdictName(verdict), 0);
    return PhaseOutcome::failed(ErrorCode::server_address_refused);
}

PhaseOutcome TunnelController::write_engine_config(const ConnectJob& job, const ConnectContext& context) {
    const std::string config =
        BuildEngineConfig(context.profile, context.server_ip, job.direct_domains, job.force_proxy_domains,
                          job.udp_direct, context.api_port, context.api_secret);
    std::uint32_t error = 0;
    if (config.empty()) {
        error = win32_error::invalid_data;
    } else if (!files_.write_engine_config(config)) {
        error = files_.last_error();
    } else {
        return PhaseOutcome::proceed();
    }
    // A full disk is the user's to fix, and no restart of anything helps: say so.
    if (error == win32_error::disk_full || error == win32_error::handle_disk_full) {
        log_.write(generation(), "core_config_failed", "disk_full", error);
        return PhaseOutcome::failed(ErrorCode::disk_full);
    }
    log_.write(generation(), "core_config_failed", "", error);
    return PhaseOutcome::failed(ErrorCode::core_start_failed);
}

PhaseOutcome TunnelController::start_engine(const ConnectJob& job, ConnectContext& context,
                                            const std::atomic<bool>& cancel) {
    log_gate("core", "");
    std::unique_ptr<FlowProbe> flow_probe;
    if (flow_probe_factory_) {
        std::uint16_t port = 0;
        if (probe_.reserve_local_port(port)) {
            std::string secret = make_api_secret();
            // Without a random secret the API is not served at all.
            if (secret.empty()) log_.write(generation(), "flow", "no_secret", 0);
            if (!secret.empty()) flow_probe = flow_probe_factory_(port, secret);
            if (flow_probe) {
                context.api_port = port;
                context.api_secret = std::move(secret);
            }
        }
    }
    flow_monitor_.start(std::move(flow_probe));

    PhaseOutcome outcome = write_engine_config(job, context);
    if (outcome.result != PhaseResult::proceed) return outcome;
    update_ledger([this] { ledger_.config_written = true; });
    if (checkpoint(6, cancel)) return PhaseOutcome::cancelled();

    std::uint32_t pid = 0;
    if (!engine_.start(pid)) {
        log_engine_failure("core_create_process_failed");
        // Not a fault of the engine: its files can be changed by other users, which only a
        // reinstall (or an administrator fixing the folder's permissions) mends.
        const bool untrusted = std::string_view(engine_.last_code()) == "core_engine_untrusted";
        return PhaseOutcome::failed(untrusted ? ErrorCode::engine_untrusted : ErrorCode::core_start_failed);
    }
    update_ledger([this, pid] { ledger_.pid = pid; });
    if (checkpoint(7, cancel)) return PhaseOutcome::cancelled();

    if (!engine_.assign_job()) {
        log_engine_failure("core_job_assign_failed");
        engine_.terminate();
        engine_.release();
        update_ledger([this] { ledger_.pid = 0; });
        return PhaseOutcome::failed(ErrorCode::core_start_failed);
    }
    if (checkpoint(8, cancel)) return PhaseOutcome::cancelled();
    if (!engine_.resume()) {
        log_engine_failure("core_resume_failed");
        return PhaseOutcome::failed(ErrorCode::core_start_failed);
    }
    if (checkpoint(9, cancel)) return PhaseOutcome::cancelled();
    return PhaseOutcome::proceed();
}

PhaseOutcome TunnelController::wait_for_tun(ConnectContext& context, const std::atomic<bool>& cancel) {
    bool found = false;
    int exit_polls_left = -1;  // counting down once the engine printed its FATAL line
    for (int poll = 0; poll < kTunWaitPolls && !found && exit_polls_left != 0; ++poll) {
        if (Cancelled(cancel)) return PhaseOutcome::cancelled();
        if (!engine_.is_running()) {
            log_.write(generation(), "core_exited", RedactSecretsShort(engine_.output()), engine_.exit_code());
            return PhaseOutcome::failed(ErrorCode::core_exited);
        }
        found = routes_.find_tun_adapter(context.tun);
        if (found) break;
        if (exit_polls_left > 0) {
            --exit_polls_left;
        } else if (EngineReportedFatal(engine_.output())) {
            exit_polls_left = kFatalExitPolls;
        }
        sleeper_.sleep_ms(100);
    }
    if (!found) {
        diagnose_tun_timeout();
        return PhaseOutcome::failed(ErrorCode::tun_init_timeout);
    }
    log_gate("core", "ok");
    update_ledger([this, &context] {
        ledger_.adapter_known = true;
        ledger_.adapter = context.tun;
    });
    return PhaseOutcome::proceed();
}

// The API port was free when reserved, but any process may bind it before the engine does;
// the engine then ends with a listen error. One start on another port recovers the session.
PhaseOutcome TunnelController::wait_for_engine(const ConnectJob& job, ConnectContext& context,
                                               const std::atomic<bool>& cancel) {
    for (int start = 1;; ++start) {
        PhaseOutcome outcome = wait_for_tun(context, cancel);
        if (outcome.result == PhaseResult::proceed) outcome = await_api_listener(context, cancel);
        if (outcome.result != PhaseResult::failed || start >= kEngineStarts || context.api_port == 0 ||
            ReadApiListener(engine_.output()) != ApiListener::listen_failed) {
            return outcome;
        }
        log_.write(generation(), "flow", "api_port_taken", 0);
        retire_engine();
        context.api_port = 0;
        context.api_secret.clear();
        outcome = start_engine(job, context, cancel);
        if (outcome.result != PhaseResult::proceed) return outcome;
    }
}

// The port is published only once the engine holds it: before, a reader could take it first.
// At the engine's "warn" level its listening line (an info line) never comes; the listener starts
// right after the inbounds, so an engine that lives on without a listen error holds the port.
PhaseOutcome TunnelController::await_api_listener(const ConnectContext& context, const std::atomic<bool>& cancel) {
    if (context.api_port == 0) return PhaseOutcome::proceed();
    for (int poll = 0;; ++poll) {
        if (Cancelled(cancel)) return PhaseOutcome::cancelled();
        const std::string output = engine_.output();
        const ApiListener listener = ReadApiListener(output);
        if (listener == ApiListener::listen_failed) {
            log_.write(generation(), "core_exited", RedactSecretsShort(output), engine_.exit_code());
            return PhaseOutcome::failed(ErrorCode::core_exited);
        }
        if (listener == ApiListener::listening || poll >= kApiListenPolls) break;
        if (!engine_.is_running()) {
            log_.write(generation(), "core_exited", RedactSecretsShort(engine_.output()), engine_.exit_code());
            return PhaseOutcome::failed(ErrorCode::core_exited);
        }
        sleeper_.sleep_ms(100);
    }
    log_.write(generation(), "flow", "api_port=" + std::to_string(context.api_port), 0);
    return PhaseOutcome::proceed();
}

// Ends the engine whose start failed and waits for its adapter to go, so the next start's
// adapter is not mistaken for it.
void TunnelController::retire_engine() {
    engine_.terminate();
    engine_.release();
    update_ledger([this] { ledger_.pid = 0; });
    AdapterInfo stale;
    for (int poll = 0; poll < kTunWaitPolls && routes_.find_tun_adapter(stale); ++poll) sleeper_.sleep_ms(100);
}

PhaseOutcome TunnelController::pin_server_route(ConnectContext& context, const std::atomic<bool>& cancel) {
    log_gate("routes", "");
    PinRoute pin;
    if (!routes_.find_physical_route(context.server_ip, pin)) return route_step_failed("pin_failed");
    update_ledger([this, &pin] {
        ledger_.pin_intended = true;
        ledger_.pin = pin;
    });
    if (!routes_.add_pin_route(pin)) return route_step_failed("pin_failed");
    if (checkpoint(5, cancel)) return PhaseOutcome::cancelled();
    return PhaseOutcome::proceed();
}

// The check host is reached over a host route into the TUN, before any capture route exists.
PhaseOutcome TunnelController::prove_egress(ConnectContext& context, const std::atomic<bool>& cancel) {
    log_gate("resolve", "");
    bool resolved = false;
    try {
        resolved = resolver_.resolve_ipv4(kConnectivityCheckHost, context.check_ip);
    } catch (const std::exception&) {
        resolved = false;
    }
    if (!resolved) return PhaseOutcome::failed(ErrorCode::resolve_failed);
    log_gate("resolve", "ok");

    CaptureRoute canary;
    if (!routes_.add_host_route(context.tun, context.check_ip, canary)) return route_step_failed("canary_failed");
    update_ledger([this, &canary] { ledger_.routes.push_back(canary); });

    log_gate("egress", "");
    const bool passed = routes_.probe_http_direct(context.check_ip, [&cancel] { return Cancelled(cancel); });
    if (Cancelled(cancel)) return PhaseOutcome::cancelled();
    if (!passed) {
        const bool rejected = engine_rejected_key(cancel, context.profile.security == "reality");
        if (!rejected && Cancelled(cancel)) return PhaseOutcome::cancelled();
        // The engine's own account of the failed check: its last lines.
        const std::string reason = RedactSecretsShort(engine_.output());
        if (!reason.empty()) log_.write(generation(), "engine_reason", reason, 0);
        if (rejected) {
            log_.write(generation(), "egress", "auth_rejected", 0);
            return PhaseOutcome::failed(ErrorCode::auth_rejected);
        }
        log_.write(generation(), "egress", "timeout", kDirectProbeTimeoutMs);
        return PhaseOutcome::failed(ErrorCode::egress_timeout);
    }
    log_gate("egress", "ok");

    if (!routes_.delete_host_route(canary)) return route_step_failed("canary_failed");
    update_ledger([this] { ledger_.routes.clear(); });
    return PhaseOutcome::proceed();
}

// The engine closes the check's connection when the server refuses the key and logs why at
// about the same moment, so its line may land just after the probe has failed: it gets a short
// while to arrive before the failure is called a time-out.
bool TunnelController::engine_rejected_key(const std::atomic<bool>& cancel, bool reality) {
    for (int check = 0;; ++check) {
        const std::string output = engine_.output();
        if (IsAuthFailure(output) || (reality && IsRealityRefusal(output))) return true;
        if (check >= kAuthVerdictWaitSteps || Cancelled(cancel)) return false;
        sleeper_.sleep_ms(kAuthVerdictWaitStepMs);
    }
}

// The tunnel's resolver comes first: once the filters hold DNS to the tunnel, it is the host's
// only one.
PhaseOutcome TunnelController::raise_firewall(const ConnectContext& context) {
    log_gate("firewall", "");
    update_ledger([this, &context] { ledger_.tunnel_dns_guid = context.tun.guid; });
    if (!firewall_.set_tunnel_dns(context.tun.guid, kTunnelDnsServer)) {
        log_.write(generation(), "firewall", "dns_failed", firewall_.last_error());
        return PhaseOutcome::failed(ErrorCode::firewall_failed);
    }
    update_ledger([this] { ledger_.firewall_open = true; });
    if (!firewall_.open(SessionFirewallPolicy(context.tun, context.server_ip))) {
        log_.write(generation(), "firewall", "open_failed", firewall_.last_error());
        return PhaseOutcome::failed(ErrorCode::firewall_failed);
    }
    // Answers the on-link resolver gave before the connect would be used past the tunnel.
    firewall_.flush_resolver_cache();
    log_gate("firewall", "ok");
    return PhaseOutcome::proceed();
}

PhaseOutcome TunnelController::install_capture(ConnectContext& context) {
    std::vector<CaptureRoute> installed;
    if (!routes_.add_capture_routes(context.tun, installed)) {
        const std::uint32_t capture_error = routes_.last_error();
        if (!FailedOnlyForIpv6(installed, capture_error)) {
            log_.write(generation(), "routes", "capture_failed", capture_error);
            return PhaseOutcome::failed(ErrorCode::route_failed, kCaptureFailedMessage, capture_error);
        }
        bool ipv6_out = false;
        const bool known = routes_.ipv6_default_route_present(ipv6_out);
        const Ipv6CaptureOutcome outcome = DecideIpv6Capture(known, ipv6_out);
        log_.write(generation(), "routes", Ipv6CaptureLogCode(outcome), known ? capture_error : routes_.last_error());
        if (outcome != Ipv6CaptureOutcome::ipv4_only) {
            return PhaseOutcome::failed(ErrorCode::route_failed, kCaptureFailedMessage, capture_error);
        }
    }
    update_ledger([this, &installed] { ledger_.routes = installed; });

    AdapterInfo tun_now;
    std::vector<CaptureRoute> found;
    if (!routes_.verify_capture_routes(tun_now, found)) {
        diagnose_tun_timeout();
        return PhaseOutcome::failed(ErrorCode::tun_init_timeout);
    }
    // The watch compares later tables with this one.
    if (!routes_.list_routes(connect_routes_)) return route_step_failed("table_unreadable");
    log_.write(generation(), "routes", "capture_installed", static_cast<std::uint32_t>(installed.size()));
    log_gate("routes", "ok");
    return PhaseOutcome::proceed();
}

PhaseOutcome TunnelController::await_proof(const std::atomic<bool>& cancel) {
    const long long gen = generation();
    tun_ready_listener_(gen);
    for (int step = 0;; ++step) {
        if (Cancelled(cancel)) return PhaseOutcome::cancelled();
        ProofVerdict verdict = ProofVerdict::none;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (proven_generation_ == gen) verdict = proof_verdict_;
        }
        if (verdict == ProofVerdict::passed) {
            log_.write(gen, "proof", "ok", 0);
            return PhaseOutcome::proceed();
        }
        if (verdict == ProofVerdict::failed) {
            log_.write(gen, "proof", "fail", 0);
            return PhaseOutcome::failed(ErrorCode::egress_failed);
        }
        // Nobody got the tun_ready, or the client that did has gone: no verdict can come.
        if (proof_audience_ && !proof_audience_()) {
            log_.write(gen, "proof", "no_client", 0);
            return PhaseOutcome::proceed();
        }
        if (step >= kProofWaitSteps) break;
        sleeper_.sleep_ms(kProofWaitStepMs);
    }
    log_.write(gen, "proof", "timeout", 0);
    return PhaseOutcome::proceed();
}

void TunnelController::log_gate(const std::string& stage, const std::string& outcome) {
    log_.write(generation(), "gate", outcome.empty() ? stage : stage + "=" + outcome, 0);
}

void TunnelController::log_engine_failure(const char* fallback) {
    const std::string code = engine_.last_code();
    log_.write(generation(), code.empty() ? std::string(fallback) : code, "", engine_.last_error());
}

}  // namespace vantorel
