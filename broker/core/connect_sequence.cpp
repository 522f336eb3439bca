#include <algorithm>
#include <exception>
#include <map>
#include <string>

#include "broker/core/ipv6_capture_rule.h"
#include "broker/core/tunnel_controller.h"
#include "broker/engine/engine_config.h"
#include "broker/engine/output_analysis.h"
#include "broker/win32/api_secret.h"
#include "protocol/connectivity_check.h"

namespace vantorel {

namespace {

constexpr const char kForeignTunnelMessage[] = "Обнаружен активный туннель";
constexpr const char kCaptureFailedMessage[] = "Сбой применения маршрутов";
constexpr std::size_t kExitDetailBytes = 256;
constexpr std::size_t kDiagnosisTailBytes = 4096;
constexpr std::size_t kDiagnosisPieceBytes = 240;

bool IsPlainDefault(const DefaultRouteInfo& route) {
    return route.up && !route.own && route.prefix_length == 0 && route.destination == 0;
}

std::string AdapterDiagnosisText(const AdapterInfo& adapter) {
    std::string name = adapter.name.empty() ? std::string("-") : adapter.name;
    for (char& c : name) {
        if (c == ' ' || c == '\n' || c == '\r' || c == ',') c = '_';
    }
    return name + ",up=" + (adapter.up ? "1" : "0") + ",luid=" + std::to_string(adapter.luid) +
           ",if=" + std::to_string(adapter.index);
}

}  // namespace

std::string find_foreign_tunnel(const std::vector<DefaultRouteInfo>& routes) {
    bool have_physical = false;
    std::uint32_t best_physical = 0;
    for (const DefaultRouteInfo& route : routes) {
        if (IsPlainDefault(route) && route.physical && (!have_physical || route.metric < best_physical)) {
            have_physical = true;
            best_physical = route.metric;
        }
    }

    const DefaultRouteInfo* ahead = nullptr;
    for (const DefaultRouteInfo& route : routes) {
        if (!IsPlainDefault(route) || route.physical || route.interface_alias.empty()) continue;
        if (have_physical && route.metric >= best_physical) continue;
        if (ahead == nullptr || route.metric < ahead->metric) ahead = &route;
    }
    if (ahead != nullptr) return ahead->interface_alias;

    // A tunnel that splits the address space into two /1 halves wins over any default route.
    std::map<std::string, int> halves;
    for (const DefaultRouteInfo& route : routes) {
        if (!route.up || route.own || route.physical || route.interface_alias.empty()) continue;
        if (route.prefix_length != 1) continue;
        int& marks = halves[route.interface_alias];
        if (route.destination == 0) marks |= 1;
        if (route.destination == 0x80000000u) marks |= 2;
    }
    for (const auto& [alias, marks] : halves) {
        if (marks == 3) return alias;
    }
    return std::string();
}

void TunnelController::log_gate(const std::string& stage, const std::string& outcome) {
    log_.write(generation(), "gate", outcome.empty() ? stage : stage + "=" + outcome, 0);
}

void TunnelController::log_engine_failure(const char* fallback) {
    const std::string code = engine_.last_code();
    log_.write(generation(), code.empty() ? std::string(fallback) : code, "", engine_.last_error());
}

TunnelSnapshot TunnelController::finish_failed(ErrorCode code, const std::string& message) {
    if (code == ErrorCode::route_failed) {
        failed_route_error_ = routes_.last_error();
        failed_route_error_set_ = true;
    }
    return finish_session(code, message, false);
}

TunnelSnapshot TunnelController::finish_cancelled() {
    return finish_session(ErrorCode::none, std::string(), true);
}

// Windows name resolution runs on a thread of its own; starting it can throw.
bool TunnelController::resolve_server(const ConnectJob& job, ServerProfile& profile, std::string& server_ip,
                                      ErrorCode& failure) {
    failure = ErrorCode::resolve_failed;
    try {
        std::string error_field;
        if (!ParseServerProfile(job.uri, profile, error_field)) {
            if (error_field == "port") {
                std::string detail = profile.server_ports.substr(0, 32);
                if (detail.find('@') != std::string::npos) detail = "port";
                log_.write(generation(), "profile_parse_failed", detail, 0);
                failure = ErrorCode::invalid_profile;
            } else if (error_field == "encoding") {
                // No server could accept these bytes as sent: the link itself is at fault.
                log_.write(generation(), "profile_parse_failed", "encoding", 0);
                failure = ErrorCode::invalid_profile;
            }
            return false;
        }
        return resolver_.resolve_ipv4(profile.host, server_ip);
    } catch (const std::exception&) {
        return false;
    }
}

bool TunnelController::wait_for_tun(const std::atomic<bool>& cancel, AdapterInfo& tun, ErrorCode& failure) {
    for (int poll = 0; poll < kTunWaitPolls; ++poll) {
        if (cancel.load(std::memory_order_acquire)) {
            failure = ErrorCode::none;
            return false;
        }
        if (!engine_.is_running()) {
            const std::string detail = RedactSecrets(engine_.output()).substr(0, kExitDetailBytes);
            log_.write(generation(), "core_exited", detail, engine_.exit_code());
            failure = ErrorCode::core_exited;
            return false;
        }
        if (routes_.find_tun_adapter(tun)) return true;
        sleeper_.sleep_ms(100);
    }
    diagnose_tun_timeout();
    failure = ErrorCode::tun_init_timeout;
    return false;
}

int TunnelController::await_proof(const std::atomic<bool>& cancel) {
    const long long gen = generation();
    tun_ready_listener_(gen);
    for (int step = 0;; ++step) {
        if (cancel.load(std::memory_order_acquire)) return 2;
        int verdict = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (proven_generation_ == gen) verdict = proof_verdict_;
        }
        if (verdict > 0) {
            log_.write(gen, "proof", "ok", 0);
            return 0;
        }
        if (verdict < 0) {
            log_.write(gen, "proof", "fail", 0);
            return 1;
        }
        // Nobody got the tun_ready, or the client that did has gone: no verdict can come.
        if (proof_audience_ && !proof_audience_()) {
            log_.write(gen, "proof", "no_client", 0);
            return 0;
        }
        if (step >= kProofWaitSteps) break;
        sleeper_.sleep_ms(kProofWaitStepMs);
    }
    log_.write(gen, "proof", "timeout", 0);
    return 0;
}

void TunnelController::diagnose_tun_timeout() {
    const long long gen = generation();
    const bool alive = engine_.is_running();
    const std::uint32_t exit_status = alive ? 0 : engine_.exit_code();
    std::string text = RedactSecrets(engine_.output());
    if (text.size() > kDiagnosisTailBytes) text = text.substr(text.size() - kDiagnosisTailBytes);
    std::vector<AdapterInfo> adapters;
    const bool listed = routes_.list_own_adapters(adapters);
    const std::uint32_t list_error = listed ? 0 : routes_.last_error();

    log_.write(gen, "tun_diag", alive ? "process_alive" : "process_died", exit_status);
    for (std::size_t offset = 0, piece = 1; offset < text.size(); offset += kDiagnosisPieceBytes, ++piece) {
        log_.write(gen, "tun_stderr", std::to_string(piece) + " " + text.substr(offset, kDiagnosisPieceBytes),
                   exit_status);
    }
    if (!listed) {
        log_.write(gen, "tun_adapter", "list_failed", list_error);
    } else if (adapters.empty()) {
        log_.write(gen, "tun_adapter", "none", 0);
    } else {
        for (const AdapterInfo& adapter : adapters) {
            log_.write(gen, "tun_adapter", AdapterDiagnosisText(adapter), adapter.up ? 1 : 0);
        }
    }

    TunDiagnosis diagnosis;
    diagnosis.process_alive = alive;
    diagnosis.exit_status = exit_status;
    diagnosis.output = text;
    diagnosis.adapters_listed = listed;
    diagnosis.list_error = list_error;
    diagnosis.adapters = adapters;
    const TunFailure failure = ClassifyTunFailure(diagnosis);
    log_.write(gen, "tun_init_timeout", failure.reason, failure.number);
}

TunnelSnapshot TunnelController::run_connect(const ConnectJob& job, const std::atomic<bool>& cancel) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ledger_.phase != SessionState::connecting) return current_;
    }
    publish(ErrorCode::none, std::string(), false);
    if (checkpoint(0, cancel)) return finish_cancelled();

    std::vector<DefaultRouteInfo> defaults;
    log_gate("foreign_tunnel", "");
    if (!routes_.list_default_routes(defaults)) return finish_failed(ErrorCode::route_failed);
    std::string foreign = find_foreign_tunnel(defaults);
    if (!foreign.empty()) {
        log_.write(generation(), "foreign_adapter", foreign, 0);
        return finish_failed(ErrorCode::foreign_tunnel, kForeignTunnelMessage);
    }

    log_gate("foreign_tunnel", "ok");
    log_gate("resolve", "");
    ServerProfile profile;
    std::string server_ip;
    ErrorCode failure = ErrorCode::none;
    if (!resolve_server(job, profile, server_ip, failure)) return finish_failed(failure);
    log_gate("resolve", "ok");
    if (checkpoint(1, cancel)) return finish_cancelled();

    log_gate("core", "");
    reset_flow_monitor();
    std::uint16_t api_port = 0;
    std::string secret;
    if (flow_probe_factory_) {
        std::uint16_t port = 0;
        if (probe_.reserve_local_port(port)) {
            secret = make_api_secret();
            flow_probe_ = flow_probe_factory_(port, secret);
            if (flow_probe_) api_port = port;
        }
    }
    if (!flow_probe_) secret.clear();

    const std::string config = BuildEngineConfig(profile, server_ip, job.direct_domains, job.force_proxy_domains,
                                                 job.udp_direct, api_port, secret);
    std::uint32_t config_error = 0;
    bool config_ok = false;
    if (config.empty()) {
        config_error = 13;
    } else if (!files_.write_engine_config(config)) {
        config_error = files_.last_error();
    } else {
        config_ok = true;
    }
    if (!config_ok) {
        log_.write(generation(), "core_config_failed", "", config_error);
        return finish_failed(ErrorCode::core_start_failed);
    }
    if (flow_probe_) log_.write(generation(), "flow", "api_port=" + std::to_string(api_port), 0);
    update_ledger([this] { ledger_.config_written = true; });
    if (checkpoint(6, cancel)) return finish_cancelled();

    std::uint32_t pid = 0;
    if (!engine_.start(pid)) {
        log_engine_failure("core_create_process_failed");
        return finish_failed(ErrorCode::core_start_failed);
    }
    update_ledger([this, pid] { ledger_.pid = pid; });
    if (checkpoint(7, cancel)) return finish_cancelled();

    if (!engine_.assign_job()) {
        log_engine_failure("core_job_assign_failed");
        engine_.terminate();
        engine_.release();
        update_ledger([this] { ledger_.pid = 0; });
        return finish_failed(ErrorCode::core_start_failed);
    }
    if (checkpoint(8, cancel)) return finish_cancelled();
    if (!engine_.resume()) {
        log_engine_failure("core_resume_failed");
        return finish_failed(ErrorCode::core_start_failed);
    }
    if (checkpoint(9, cancel)) return finish_cancelled();

    AdapterInfo tun;
    if (!wait_for_tun(cancel, tun, failure)) {
        return failure == ErrorCode::none ? finish_cancelled() : finish_failed(failure);
    }
    log_gate("core", "ok");
    update_ledger([this, &tun] {
        ledger_.adapter_known = true;
        ledger_.adapter = tun;
    });

    log_gate("foreign_tunnel", "");
    if (!routes_.list_default_routes(defaults)) {
        log_.write(generation(), "routes", "pin_failed", routes_.last_error());
        return finish_failed(ErrorCode::route_failed);
    }
    foreign = find_foreign_tunnel(defaults);
    if (!foreign.empty()) {
        log_.write(generation(), "foreign_adapter", foreign, 0);
        return finish_failed(ErrorCode::foreign_tunnel, MessageForCode(ErrorCode::foreign_tunnel));
    }

    log_gate("foreign_tunnel", "ok");
    log_gate("routes", "");
    PinRoute pin;
    if (!routes_.find_physical_route(server_ip, pin)) {
        log_.write(generation(), "routes", "pin_failed", routes_.last_error());
        return finish_failed(ErrorCode::route_failed);
    }
    update_ledger([this, &pin] {
        ledger_.pin_intended = true;
        ledger_.pin = pin;
    });
    if (!routes_.add_pin_route(pin)) {
        log_.write(generation(), "routes", "pin_failed", routes_.last_error());
        return finish_failed(ErrorCode::route_failed);
    }
    if (checkpoint(5, cancel)) return finish_cancelled();

    log_gate("resolve", "");
    std::string check_ip;
    bool check_resolved = false;
    try {
        check_resolved = resolver_.resolve_ipv4(kConnectivityCheckHost, check_ip);
    } catch (const std::exception&) {
        check_resolved = false;
    }
    if (!check_resolved) return finish_failed(ErrorCode::resolve_failed);

    log_gate("resolve", "ok");
    CaptureRoute canary;
    if (!routes_.add_host_route(tun, check_ip, canary)) {
        log_.write(generation(), "routes", "canary_failed", routes_.last_error());
        return finish_failed(ErrorCode::route_failed);
    }
    update_ledger([this, &canary] { ledger_.routes.push_back(canary); });

    log_gate("egress", "");
    const bool passed =
        routes_.probe_http_direct(check_ip, [&cancel] { return cancel.load(std::memory_order_acquire); });
    if (cancel.load(std::memory_order_acquire)) return finish_cancelled();
    if (!passed) {
        if (IsAuthFailure(engine_.output())) {
            log_.write(generation(), "egress", "auth_rejected", 0);
            return finish_failed(ErrorCode::auth_rejected);
        }
        log_.write(generation(), "egress", "timeout", 3500);
        return finish_failed(ErrorCode::egress_timeout);
    }

    log_gate("egress", "ok");
    if (!routes_.delete_host_route(canary)) {
        log_.write(generation(), "routes", "canary_failed", routes_.last_error());
        return finish_failed(ErrorCode::route_failed);
    }
    update_ledger([this] { ledger_.routes.clear(); });

    std::vector<CaptureRoute> installed;
    if (!routes_.add_capture_routes(tun, installed)) {
        const std::uint32_t capture_error = routes_.last_error();
        if (!FailedOnlyForIpv6(installed, capture_error)) {
            log_.write(generation(), "routes", "capture_failed", capture_error);
            return finish_failed(ErrorCode::route_failed, kCaptureFailedMessage);
        }
        bool ipv6_out = false;
        const bool known = routes_.ipv6_default_route_present(ipv6_out);
        const Ipv6CaptureOutcome outcome = DecideIpv6Capture(known, ipv6_out);
        log_.write(generation(), "routes", Ipv6CaptureLogCode(outcome), known ? capture_error : routes_.last_error());
        if (outcome != Ipv6CaptureOutcome::ipv4_only) {
            failed_route_error_ = capture_error;
            failed_route_error_set_ = true;
            return finish_session(ErrorCode::route_failed, kCaptureFailedMessage, false);
        }
    }
    update_ledger([this, &installed] { ledger_.routes = installed; });

    AdapterInfo tun_now;
    std::vector<CaptureRoute> found;
    if (!routes_.verify_capture_routes(tun_now, found)) {
        diagnose_tun_timeout();
        return finish_failed(ErrorCode::tun_init_timeout);
    }
    log_.write(generation(), "routes", "capture_installed", static_cast<std::uint32_t>(installed.size()));
    log_gate("routes", "ok");

    if (tun_ready_listener_) {
        const int verdict = await_proof(cancel);
        if (verdict == 2) return finish_cancelled();
        if (verdict == 1) return finish_failed(ErrorCode::egress_failed);
    }

    if (checkpoint(10, cancel)) return finish_cancelled();
    {
        std::lock_guard<std::mutex> guard(lock_);
        ledger_.phase = SessionState::connected;
        files_.save_ledger(ledger_);
    }
    return publish(ErrorCode::none, std::string(), false);
}

}  // namespace vantorel
