#pragma once
// A scriptable stand-in for the Windows host behind the tunnel core's platform services.
//
// FakeHost holds the host's state: interfaces, an IPv4/IPv6 route table, the engine process,
// the resolver's answers, the files of the run directory (the ledger kept as its real "v1"
// text), the service log lines and a millisecond clock. One fake per platform interface works
// on that shared state, so a test can drop a TunnelController mid-run ("crash"), build a new
// one over the same host and see exactly what a restarted broker would see.
//
// Failures are scripted per operation name with fail(); every fake keeps the Windows error
// numbers (2, 13, 87, 1168, 1460, 5010, ...) the real services report. The names are the
// interface operations, listed once in FakeHost::scriptable_operations() (fail() refuses any
// other). A check "xxx_absent" is scripted with still_present() or check_failed(), which say
// which of its two failures is meant; a route that vanished is one a test takes out of
// route_table (every fake reads the host's state). "add_capture_routes" is consulted once per
// route, so after = 2 installs two routes and fails.
//
// Typical use:
//   FakeHost host;                      // one physical NIC "Ethernet" with a default route
//   auto controller = host.make_controller();
//   host.resolver.answers["vpn.example"] = "198.51.100.20";
//   controller->begin_connect();
//   controller->run_connect(job, cancel);

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker/contracts/platform_services.h"
#include "broker/core/tunnel_controller.h"
#include "tests/fakes/enum_printers.h"

namespace vantorel {

class FakeHost;

struct FakeInterface {
    std::string alias;
    std::string guid;
    std::uint64_t luid = 0;
    std::uint32_t index = 0;
    bool physical = false;
    bool up = true;
    // False once the device is gone (Wintun removed its adapter when the engine ended); the
    // interface may still be listed for `lingering_listings` more listings, then it vanishes.
    bool device_present = true;
    int lingering_listings = 0;
    std::vector<std::string> ipv4_addresses;
};

struct FakeRoute {
    std::string destination;  // "0.0.0.0", "128.0.0.0", "::", "8000::", "203.0.113.7", ...
    int prefix_length = 0;
    std::uint64_t luid = 0;
    std::string next_hop;  // empty: on-link (routes into the TUN)
    std::uint32_t metric = 0;
    // Made by the system for a present interface (on-link, multicast): deleting it does not stick
    // while the interface exists; it goes with the interface.
    bool system = false;
};

// Makes an operation fail with `error` (and, for the engine and the probe, `code`) after
// `after` successful calls, for `times` calls (-1: for good).
struct FakeFailure {
    std::uint32_t error = 0;
    std::optional<std::string> code;  // nullopt: the operation's usual failure code
    int after = 0;
    int times = -1;
};

// Thrown by a crash hook; deliberately not a std::exception so no handler in the core eats it.
struct SimulatedCrash {
    int save_number = 0;
};

class FakeRouteTable : public RouteTable {
public:
    explicit FakeRouteTable(FakeHost& host) : host_(host) {}
    bool list_default_routes(std::vector<DefaultRouteInfo>& out) override;
    bool find_physical_route(const std::string& server_ipv4, PinRoute& out) override;
    bool add_pin_route(const PinRoute& route) override;
    bool delete_pin_route(const PinRoute& route) override;
    bool pin_route_absent(const PinRoute& route) override;
    bool delete_interface_routes(std::uint64_t luid) override;
    bool interface_routes_absent(std::uint64_t luid) override;
    bool list_own_adapters(std::vector<AdapterInfo>& out) override;
    bool remove_adapter(const AdapterInfo& adapter) override;
    bool find_tun_adapter(AdapterInfo& out) override;
    bool add_capture_routes(const AdapterInfo& tun, std::vector<CaptureRoute>& out) override;
    bool add_host_route(const AdapterInfo& tun, const std::string& ipv4, CaptureRoute& out) override;
    bool delete_host_route(const CaptureRoute& route) override;
    bool probe_http_direct(const std::string& ipv4, const std::function<bool()>& cancelled) override;
    bool verify_capture_routes(AdapterInfo& tun_out, std::vector<CaptureRoute>& found) override;
    bool probe_http_on_interface(std::uint32_t if_index, const std::string& ipv4,
                                 const std::function<bool()>& cancelled) override;
    bool interface_holder(std::uint64_t luid, InterfaceHolder& out) override;
    bool ipv6_default_route_present(bool& present) override;
    bool list_local_ipv4(std::vector<std::string>& out) override;
    bool list_routes(std::vector<RouteRow>& out) override;
    std::uint32_t last_error() const override { return last_error_; }

private:
    bool fail(const char* operation);
    bool succeed();
    bool reject(std::uint32_t error);
    FakeHost& host_;
    std::uint32_t last_error_ = 0;
};

// The engine process as the host sees it; `held` says whether the current broker holds its handle.
struct FakeEngineProcess {
    bool alive = false;
    bool held = false;
    bool resumed = false;
    bool in_job = false;
    std::uint32_t pid = 0;
    std::uint32_t exit_status = 0;
    int stop_countdown = -1;      // is_running checks left until a requested stop takes effect
    int running_checks = 0;       // is_running checks since resume
    bool api_configured = false;  // started with a control API in its configuration
    bool api_taken = false;       // and found that API's port taken
};

struct FakeEngineScript {
    int exit_after_checks = -1;  // exits by itself after this many is_running checks (-1: never)
    std::uint32_t exit_status = 1;
    std::string output;               // what the engine has printed
    bool ignores_stop = false;        // request_stop is delivered but has no effect
    int stop_takes_checks = 0;        // is_running checks a delivered stop needs
    bool survives_terminate = false;  // neither terminate nor kill_strays end it
    bool creates_tun = true;
    int tun_after_polls = 0;  // find_tun_adapter polls before the adapter appears
    bool tun_up = true;
    // The first this many starts with a control API find its port taken: the engine prints
    // the real engine's listen error, closes its adapter and ends at the next is_running check.
    // Started with an API and not taken, it prints the real engine's line that the API listens.
    int api_taken_starts = 0;
};

class FakeEngineHost : public EngineHost {
public:
    explicit FakeEngineHost(FakeHost& host) : host_(host) {}
    bool start(std::uint32_t& pid) override;
    bool assign_job() override;
    bool resume() override;
    bool request_stop() override;
    bool is_running() override;
    void terminate() override;
    void release() override;
    void kill_strays() override;
    std::uint32_t last_error() const override { return last_error_; }
    const char* last_code() const override { return last_code_.c_str(); }
    std::uint32_t exit_code() override;
    std::string output() override;

    int starts = 0;
    int stop_requests = 0;
    int terminations = 0;
    int stray_sweeps = 0;

private:
    bool fail(const char* operation, const char* default_code);
    FakeHost& host_;
    std::uint32_t last_error_ = 0;
    std::string last_code_;
};

class FakeNameResolver : public NameResolver {
public:
    explicit FakeNameResolver(FakeHost&) {}
    bool resolve_ipv4(const std::string& host, std::string& ipv4_out) override;

    std::map<std::string, std::string> answers;  // a host without an answer fails
    std::string throws_for;                      // resolving this host throws std::system_error
    std::vector<std::string> asked;
};

class FakeConnectivityProbe : public ConnectivityProbe {
public:
    explicit FakeConnectivityProbe(FakeHost& host) : host_(host) {}
    bool reserve_local_port(std::uint16_t& port_out) override;
    bool probe_through_socks(std::uint16_t port, const std::string& ipv4,
                             const std::function<bool()>& cancelled) override;
    std::uint32_t last_error() const override { return last_error_; }
    const char* last_code() const override { return last_code_.c_str(); }

    std::uint16_t free_port = 39201;

private:
    FakeHost& host_;
    std::uint32_t last_error_ = 0;
    std::string last_code_;
};

class FakeSessionFiles : public SessionFiles {
public:
    explicit FakeSessionFiles(FakeHost& host) : host_(host) {}
    int load_ledger(SessionLedger& out) override;
    bool save_ledger(const SessionLedger& ledger) override;
    bool delete_ledger() override;
    bool write_engine_config(const std::string& json) override;
    bool shred_engine_config() override;
    bool engine_config_exists() override;
    std::string read_pin() override;
    void delete_pin() override;
    std::uint32_t last_error() const override { return last_error_; }

    std::optional<std::string> ledger_text;  // ledger.txt
    std::optional<std::string> ledger_bad;   // ledger.bad
    std::optional<std::string> engine_config;
    std::optional<std::string> pin_text;  // pin.txt
    int saves = 0;                        // successful saves so far
    std::vector<SessionLedger> saved;     // every ledger saved, parsed back from its text
    // Run before and after each save with its 1-based number; may throw SimulatedCrash.
    std::function<void(int)> before_save;
    std::function<void(int)> after_save;

private:
    FakeHost& host_;
    std::uint32_t last_error_ = 0;
};

struct FakeLogLine {
    long long generation = 0;
    std::string event;
    std::string code;
    std::uint32_t win32 = 0;
};

class FakeTunnelLog : public TunnelLog {
public:
    void write(long long generation, const std::string& event, const std::string& code, std::uint32_t win32) override;
    // Lines whose event equals `event`.
    std::vector<FakeLogLine> with_event(const std::string& event) const;
    bool has(const std::string& event, const std::string& code) const;
    std::vector<FakeLogLine> lines;
};

class FakeSleeper : public Sleeper {
public:
    explicit FakeSleeper(FakeHost& host) : host_(host) {}
    // Advances the host clock by ms, then runs on_sleep.
    void sleep_ms(int ms) override;
    int sleeps = 0;
    std::function<void(int)> on_sleep;

private:
    FakeHost& host_;
};

// The filters as the host holds them. They vanish with the broker's process (dynamic session).
struct FakeFilters {
    bool installed = false;
    FirewallPolicy policy;
    int opens = 0;
    // DNS servers by adapter GUID, as the system keeps them: they outlive the adapter and the broker.
    std::map<std::string, std::string> tunnel_dns;
    int resolver_flushes = 0;
};

class FakeFirewall : public Firewall {
public:
    explicit FakeFirewall(FakeHost& host) : host_(host) {}
    bool open(const FirewallPolicy& policy) override;
    bool close() override;
    bool filters_absent() override;
    bool set_tunnel_dns(const std::string& adapter_guid, const std::string& server) override;
    void flush_resolver_cache() override;
    std::uint32_t last_error() const override { return last_error_; }

private:
    bool fail(const char* operation);
    FakeHost& host_;
    std::uint32_t last_error_ = 0;
};

class FakeFlowProbe : public FlowProbe {
public:
    explicit FakeFlowProbe(FakeHost& host) : host_(host) {}
    bool poll(FlowSample& out) override;
    std::uint32_t last_error() const override { return last_error_; }

private:
    FakeHost& host_;
    std::uint32_t last_error_ = 0;
};

class FakeHost {
public:
    static constexpr std::uint64_t kEthernetLuid = 1000;
    static constexpr std::uint32_t kEthernetIndex = 7;
    static constexpr std::uint64_t kTunLuid = 9000;
    static constexpr std::uint32_t kTunIndex = 41;

    // One up hardware interface "Ethernet" with 0.0.0.0/0 via 192.168.1.1, metric 25.
    FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    std::unique_ptr<TunnelController> make_controller();
    // The broker process dies: engine handles are lost; a process in the kill-on-close job
    // ends with it, one that never got there stays as a stray.
    void crash_broker();

    FakeInterface& add_interface(const std::string& alias, std::uint64_t luid, std::uint32_t index, bool physical);
    void add_route(const std::string& destination, int prefix_length, std::uint64_t luid, const std::string& next_hop,
                   std::uint32_t metric);
    FakeInterface* interface_by_luid(std::uint64_t luid);
    FakeInterface* interface_by_alias(const std::string& alias);
    std::vector<FakeRoute> routes_on(std::uint64_t luid) const;
    bool has_host_route(const std::string& destination) const;
    bool has_own_adapter() const;
    // Clean in every way a verified teardown promises.
    bool clean(std::string& why) const;

    // Returns true (and counts the call) when the operation is scripted to fail now.
    bool take_failure(const std::string& operation, FakeFailure& failure);
    // Runs at the start of every operation that can be scripted to fail, and of "delete_ledger",
    // with its name: a test acts there, in the middle of a procedure. Ledger saves and the
    // ledger's deletion run under the controller's lock.
    std::function<void(const std::string& operation)> on_operation;
    // Throws std::invalid_argument for a name no fake consults.
    void fail(const std::string& operation, std::uint32_t error, int times = -1, int after = 0,
              std::optional<std::string> code = std::nullopt);
    static const std::vector<std::string>& scriptable_operations();
    // The two ways a removal check ("pin_route_absent", "interface_routes_absent",
    // "filters_absent") fails, as the real services do: the thing is still there (false, no
    // error), or the check itself could not be made (false with the platform's error).
    void still_present(const std::string& absent_check, int times = -1, int after = 0) {
        fail(absent_check, 0, times, after);
    }
    void check_failed(const std::string& absent_check, std::uint32_t error, int times = -1, int after = 0) {
        fail(absent_check, error, times, after);
    }
    void clear_failures() { failures_.clear(); }

    std::vector<FakeInterface> interfaces;
    std::vector<FakeRoute> route_table;
    FakeEngineProcess process;
    FakeEngineScript engine_script;
    int tun_polls = 0;
    std::uint32_t next_pid = 4100;
    bool egress_works = true;               // an HTTP check through the TUN reaches the check host
    std::function<void()> on_egress_probe;  // runs when probe_http_direct starts
    std::vector<std::pair<unsigned short, std::string>> factory_calls;
    // Samples served by FakeFlowProbe::poll, one per call; the last one repeats. nullopt: failure.
    std::vector<std::optional<FlowSample>> flow_samples;
    std::size_t flow_polls = 0;
    unsigned long long clock = 1000000;
    FakeFilters filters;

    FakeRouteTable routes{*this};
    FakeEngineHost engine{*this};
    FakeNameResolver resolver{*this};
    FakeConnectivityProbe probe{*this};
    FakeSessionFiles files{*this};
    FakeTunnelLog log;
    FakeSleeper sleeper{*this};
    FakeFirewall firewall{*this};

private:
    struct Scripted {
        FakeFailure failure;
        int calls = 0;
    };
    std::map<std::string, Scripted> failures_;
};

// A factory that hands out FakeFlowProbes over `host` and records port and secret.
FlowProbeFactory MakeFakeFlowProbeFactory(FakeHost& host);

// Connection helper for flow tests.
FlowConnection MakeFlow(const std::string& id, const std::string& network, const std::string& chain,
                        std::uint64_t upload, std::uint64_t download);

}  // namespace vantorel
