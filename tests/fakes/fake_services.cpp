#include <algorithm>
#include <system_error>

#include "broker/portable/ledger_text.h"
#include "tests/fakes/fake_host.h"

namespace vantorel {

namespace {

constexpr std::uint32_t kStillActive = 259;
constexpr std::uint32_t kWinHttpCannotConnect = 12029;

void EndProcess(FakeEngineProcess& process, std::uint32_t status) {
    process.alive = false;
    process.exit_status = status;
    process.stop_countdown = -1;
}

}  // namespace

// Engine.

bool FakeEngineHost::fail(const char* operation, const char* default_code) {
    FakeFailure failure;
    if (!host_.take_failure(operation, failure)) {
        last_error_ = 0;
        last_code_.clear();
        return false;
    }
    last_error_ = failure.error;
    last_code_ = failure.code ? *failure.code : std::string(default_code);
    return true;
}

bool FakeEngineHost::start(std::uint32_t& pid) {
    if (fail("start", "core_create_process_failed")) return false;
    FakeEngineProcess& process = host_.process;
    process = FakeEngineProcess{};
    starts += 1;
    process.api_configured =
        host_.files.engine_config && host_.files.engine_config->find("\"external_controller\"") != std::string::npos;
    process.api_taken = process.api_configured && starts <= host_.engine_script.api_taken_starts;
    process.alive = true;
    process.held = true;
    process.pid = host_.next_pid++;
    pid = process.pid;
    return true;
}

bool FakeEngineHost::assign_job() {
    if (fail("assign_job", "core_job_assign_failed")) return false;
    if (!host_.process.held) {
        last_error_ = win32_error::invalid_handle;
        last_code_ = "core_job_assign_failed";
        return false;
    }
    host_.process.in_job = true;
    return true;
}

bool FakeEngineHost::resume() {
    if (fail("resume", "core_resume_failed")) return false;
    if (!host_.process.held) {
        last_error_ = win32_error::invalid_handle;
        last_code_ = "core_resume_failed";
        return false;
    }
    host_.process.resumed = true;
    return true;
}

bool FakeEngineHost::request_stop() {
    FakeEngineProcess& process = host_.process;
    if (!process.held || !process.alive) {
        last_error_ = win32_error::invalid_handle;
        return false;
    }
    stop_requests += 1;
    last_error_ = 0;
    if (!host_.engine_script.ignores_stop) process.stop_countdown = host_.engine_script.stop_takes_checks;
    return true;
}

bool FakeEngineHost::is_running() {
    FakeEngineProcess& process = host_.process;
    if (!process.held) return false;
    if (process.alive && process.stop_countdown >= 0) {
        if (process.stop_countdown == 0) {
            EndProcess(process, 0);
        } else {
            process.stop_countdown -= 1;
        }
    }
    if (process.alive && process.resumed && process.api_taken) {
        EndProcess(process, 1);
        auto& list = host_.interfaces;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const FakeInterface& entry) { return entry.luid == FakeHost::kTunLuid; }),
                   list.end());
    }
    if (process.alive && process.resumed) {
        process.running_checks += 1;
        const int limit = host_.engine_script.exit_after_checks;
        if (limit >= 0 && process.running_checks > limit) EndProcess(process, host_.engine_script.exit_status);
    }
    return process.alive;
}

void FakeEngineHost::terminate() {
    terminations += 1;
    FakeEngineProcess& process = host_.process;
    if (process.held && process.alive && !host_.engine_script.survives_terminate) EndProcess(process, 1);
}

void FakeEngineHost::release() {
    FakeEngineProcess& process = host_.process;
    if (!process.held) return;
    process.held = false;
    // Closing the kill-on-close job ends the engine.
    if (process.in_job && process.alive && !host_.engine_script.survives_terminate) EndProcess(process, 1);
}

void FakeEngineHost::kill_strays() {
    stray_sweeps += 1;
    FakeEngineProcess& process = host_.process;
    if (process.alive && !process.held && !host_.engine_script.survives_terminate) EndProcess(process, 1);
}

std::uint32_t FakeEngineHost::exit_code() {
    const FakeEngineProcess& process = host_.process;
    if (!process.held) return last_error_;
    return process.alive ? kStillActive : process.exit_status;
}

std::string FakeEngineHost::output() {
    const FakeEngineProcess& process = host_.process;
    if (!process.api_configured || !process.resumed) return host_.engine_script.output;
    if (process.api_taken) {
        return host_.engine_script.output +
               "FATAL[0000] start service: finish-start clash server: external controller listen error: listen tcp: "
               "bind: "
               "address already in use\n";
    }
    // At the "warn" level the engine prints nothing when its control API listens.
    return host_.engine_script.output;
}

// Resolver and probe.

bool FakeNameResolver::resolve_ipv4(const std::string& host, std::string& ipv4_out) {
    asked.push_back(host);
    if (!throws_for.empty() && host == throws_for) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    const auto answer = answers.find(host);
    if (host.empty() || answer == answers.end()) return false;
    ipv4_out = answer->second;
    return true;
}

bool FakeConnectivityProbe::reserve_local_port(std::uint16_t& port_out) {
    FakeFailure failure;
    if (host_.take_failure("reserve_local_port", failure)) {
        last_error_ = failure.error;
        last_code_ = failure.code ? *failure.code : "bind_failed";
        return false;
    }
    last_error_ = 0;
    last_code_.clear();
    port_out = free_port;
    return true;
}

bool FakeConnectivityProbe::probe_through_socks(std::uint16_t port, const std::string& ipv4,
                                                const std::function<bool()>& cancelled) {
    (void)ipv4;
    if ((cancelled && cancelled()) || port == 0 || !host_.process.alive || !host_.egress_works) {
        last_error_ = win32_error::timeout;
        last_code_ = "http_timeout";
        return false;
    }
    last_error_ = 0;
    last_code_.clear();
    return true;
}

// Files.

int FakeSessionFiles::load_ledger(SessionLedger& out) {
    if (!ledger_text) return 0;
    if (ParseLedgerText(*ledger_text, out)) return 1;
    ledger_bad = ledger_text;
    ledger_text.reset();
    out = SessionLedger{};
    return SalvageLedgerText(*ledger_bad, out) ? 1 : -1;
}

bool FakeSessionFiles::save_ledger(const SessionLedger& ledger) {
    const int number = saves + 1;
    if (before_save) before_save(number);
    FakeFailure failure;
    if (host_.take_failure("save_ledger", failure)) {
        last_error_ = failure.error;
        return false;
    }
    ledger_text = WriteLedgerText(ledger);
    saves = number;
    SessionLedger read_back;
    saved.push_back(ParseLedgerText(*ledger_text, read_back) ? read_back : ledger);
    if (after_save) after_save(number);
    return true;
}

bool FakeSessionFiles::delete_ledger() {
    if (host_.on_operation) host_.on_operation("delete_ledger");
    ledger_text.reset();
    return true;
}

bool FakeSessionFiles::write_engine_config(const std::string& json) {
    FakeFailure failure;
    if (host_.take_failure("write_engine_config", failure)) {
        last_error_ = failure.error;
        return false;
    }
    last_error_ = 0;
    engine_config = json;
    return true;
}

bool FakeSessionFiles::shred_engine_config() {
    FakeFailure failure;
    if (host_.take_failure("shred_engine_config", failure)) return false;
    engine_config.reset();
    return true;
}

bool FakeSessionFiles::engine_config_exists() { return engine_config.has_value(); }

std::string FakeSessionFiles::read_pin() {
    if (!pin_text) return std::string();
    std::string line = pin_text->substr(0, pin_text->find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return IsDottedIpv4Text(line) ? line : std::string();
}

void FakeSessionFiles::delete_pin() {
    FakeFailure failure;
    if (host_.take_failure("delete_pin", failure)) return;
    pin_text.reset();
}

// Log, sleeper, flow probe.

void FakeTunnelLog::write(long long generation, const std::string& event, const std::string& code,
                          std::uint32_t win32) {
    lines.push_back(FakeLogLine{generation, event, code, win32});
}

std::vector<FakeLogLine> FakeTunnelLog::with_event(const std::string& event) const {
    std::vector<FakeLogLine> found;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
                 [&](const FakeLogLine& line) { return line.event == event; });
    return found;
}

bool FakeTunnelLog::has(const std::string& event, const std::string& code) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const FakeLogLine& line) { return line.event == event && line.code == code; });
}

void FakeSleeper::sleep_ms(int ms) {
    if (ms <= 0) return;
    host_.clock += static_cast<unsigned long long>(ms);
    sleeps += 1;
    if (on_sleep) on_sleep(ms);
}

bool FakeFlowProbe::poll(FlowSample& out) {
    FakeFailure failure;
    if (host_.take_failure("poll", failure)) {
        last_error_ = failure.error;
        return false;
    }
    const std::size_t count = host_.flow_samples.size();
    const std::size_t index = std::min(host_.flow_polls, count == 0 ? 0 : count - 1);
    host_.flow_polls += 1;
    if (count == 0) {
        out = FlowSample{};
    } else if (!host_.flow_samples[index]) {
        last_error_ = kWinHttpCannotConnect;
        return false;
    } else {
        out = *host_.flow_samples[index];
    }
    last_error_ = 0;
    return true;
}

// Firewall.

bool FakeFirewall::fail(const char* operation) {
    FakeFailure failure;
    if (!host_.take_failure(operation, failure)) {
        last_error_ = 0;
        return false;
    }
    last_error_ = failure.error;
    return true;
}

bool FakeFirewall::open(const FirewallPolicy& policy) {
    if (fail("firewall_open")) return false;
    // The real session refuses filters for an interface it cannot name.
    if (policy.tun_luid == 0 || policy.server_ipv4.empty()) {
        last_error_ = win32_error::invalid_parameter;
        return false;
    }
    host_.filters.installed = true;
    host_.filters.policy = policy;
    ++host_.filters.opens;
    return true;
}

bool FakeFirewall::close() {
    if (fail("firewall_close")) return false;
    host_.filters.installed = false;
    return true;
}

bool FakeFirewall::set_tunnel_dns(const std::string& adapter_guid, const std::string& server) {
    if (fail("set_tunnel_dns")) return false;
    if (adapter_guid.empty()) {
        last_error_ = win32_error::invalid_parameter;
        return false;
    }
    host_.filters.tunnel_dns[adapter_guid] = server;
    return true;
}

void FakeFirewall::flush_resolver_cache() { ++host_.filters.resolver_flushes; }

// A failing check reports the filters as still there.
bool FakeFirewall::filters_absent() {
    if (fail("filters_absent")) return false;
    return !host_.filters.installed;
}

}  // namespace vantorel
