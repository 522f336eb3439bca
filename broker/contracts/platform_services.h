#pragma once
// The nine services through which the tunnel core sees the host. Failures are results:
// bool plus the Windows error number of the last call (fakes use the same numbers,
// since they reach the service log).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker/contracts/platform_records.h"
#include "broker/contracts/session_ledger.h"

namespace vantorel {

// Windows error numbers the core and its fakes rely on.
namespace win32_error {
inline constexpr std::uint32_t file_not_found = 2;
inline constexpr std::uint32_t access_denied = 5;
inline constexpr std::uint32_t invalid_handle = 6;
inline constexpr std::uint32_t invalid_data = 13;
inline constexpr std::uint32_t write_fault = 29;
inline constexpr std::uint32_t handle_disk_full = 39;
inline constexpr std::uint32_t not_supported = 50;
inline constexpr std::uint32_t invalid_parameter = 87;
inline constexpr std::uint32_t broken_pipe = 109;
inline constexpr std::uint32_t buffer_overflow = 111;
inline constexpr std::uint32_t disk_full = 112;
inline constexpr std::uint32_t no_data = 232;
inline constexpr std::uint32_t pipe_not_connected = 233;
inline constexpr std::uint32_t wait_timeout = 258;
inline constexpr std::uint32_t operation_aborted = 995;
inline constexpr std::uint32_t not_found = 1168;
inline constexpr std::uint32_t connection_refused = 1225;
inline constexpr std::uint32_t timeout = 1460;
inline constexpr std::uint32_t object_already_exists = 5010;
}  // namespace win32_error

// How long the egress check (the check host over its host route into the TUN) waits for its 204;
// the log's "egress timeout" line names it.
inline constexpr std::uint32_t kDirectProbeTimeoutMs = 3500;

class RouteTable {
public:
    virtual ~RouteTable() = default;
    virtual bool list_default_routes(std::vector<DefaultRouteInfo>& out) = 0;
    virtual bool find_physical_route(const std::string& server_ipv4, PinRoute& out) = 0;
    virtual bool add_pin_route(const PinRoute& route) = 0;
    virtual bool delete_pin_route(const PinRoute& route) = 0;
    virtual bool pin_route_absent(const PinRoute& route) = 0;
    virtual bool delete_interface_routes(std::uint64_t luid) = 0;
    virtual bool interface_routes_absent(std::uint64_t luid) = 0;
    virtual bool list_own_adapters(std::vector<AdapterInfo>& out) = 0;
    virtual bool remove_adapter(const AdapterInfo& adapter) = 0;
    virtual bool find_tun_adapter(AdapterInfo& out) = 0;
    virtual bool add_capture_routes(const AdapterInfo& tun, std::vector<CaptureRoute>& out) = 0;
    virtual bool add_host_route(const AdapterInfo& tun, const std::string& ipv4, CaptureRoute& out) = 0;
    virtual bool delete_host_route(const CaptureRoute& route) = 0;
    virtual bool probe_http_direct(const std::string& ipv4, const std::function<bool()>& cancelled) = 0;
    virtual bool verify_capture_routes(AdapterInfo& tun_out, std::vector<CaptureRoute>& found) = 0;
    virtual bool probe_http_on_interface(std::uint32_t if_index, const std::string& ipv4,
                                         const std::function<bool()>& cancelled) = 0;
    // The interface holding `luid` now: none, one with an own adapter name, or another one.
    virtual bool interface_holder(std::uint64_t luid, InterfaceHolder& out) = 0;
    // Whether any interface but our own has an IPv6 default route (::/0), that is, whether IPv6
    // traffic could leave outside the tunnel. A host without an IPv6 stack has none.
    virtual bool ipv6_default_route_present(bool& present) = 0;
    // Every IPv4 address this host holds, on any interface, as dotted text.
    virtual bool list_local_ipv4(std::vector<std::string>& out) = 0;
    // Every IPv4 and IPv6 route; a route whose interface cannot be read counts as not our own.
    virtual bool list_routes(std::vector<RouteRow>& out) = 0;
    virtual std::uint32_t last_error() const = 0;
};

// Filters that keep traffic inside the tunnel for the life of the session. They live in a
// session of their own that the system ends with the broker's process, so a crash never leaves
// the host without network.
class Firewall {
public:
    virtual ~Firewall() = default;
    virtual bool open(const FirewallPolicy& policy) = 0;
    // Removes every filter of ours, also ones another process of ours left behind.
    virtual bool close() = 0;
    virtual bool filters_absent() = 0;
    // The tunnel adapter's DNS server, kept by the system under the adapter's GUID (so it can be
    // cleared after the adapter is gone); an empty `server` clears it.
    virtual bool set_tunnel_dns(const std::string& adapter_guid, const std::string& server) = 0;
    virtual void flush_resolver_cache() = 0;
    virtual std::uint32_t last_error() const = 0;
};

class EngineHost {
public:
    virtual ~EngineHost() = default;
    virtual bool start(std::uint32_t& pid) = 0;
    virtual bool assign_job() = 0;
    virtual bool resume() = 0;
    virtual bool request_stop() = 0;
    virtual bool is_running() = 0;
    virtual void terminate() = 0;
    virtual void release() = 0;
    virtual void kill_strays() = 0;
    virtual std::uint32_t last_error() const = 0;
    virtual const char* last_code() const = 0;
    virtual std::uint32_t exit_code() = 0;
    virtual std::string output() = 0;
};

class NameResolver {
public:
    virtual ~NameResolver() = default;
    virtual bool resolve_ipv4(const std::string& host, std::string& ipv4_out) = 0;
};

class ConnectivityProbe {
public:
    virtual ~ConnectivityProbe() = default;
    virtual bool reserve_local_port(std::uint16_t& port_out) = 0;
    virtual bool probe_through_socks(std::uint16_t port, const std::string& ipv4,
                                     const std::function<bool()>& cancelled) = 0;
    virtual std::uint32_t last_error() const = 0;
    virtual const char* last_code() const = 0;
};

class SessionFiles {
public:
    virtual ~SessionFiles() = default;
    // 1: loaded (whole or salvaged); 0: no ledger file; -1: did not parse, nothing salvaged.
    virtual int load_ledger(SessionLedger& out) = 0;
    virtual bool save_ledger(const SessionLedger& ledger) = 0;
    virtual bool delete_ledger() = 0;
    virtual bool write_engine_config(const std::string& json) = 0;
    virtual bool shred_engine_config() = 0;
    virtual bool engine_config_exists() = 0;
    virtual std::string read_pin() = 0;
    virtual void delete_pin() = 0;
    // The Windows error of the last failed write_engine_config or save_ledger.
    virtual std::uint32_t last_error() const = 0;
};

class TunnelLog {
public:
    virtual ~TunnelLog() = default;
    virtual void write(long long generation, const std::string& event, const std::string& code,
                       std::uint32_t win32) = 0;
};

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep_ms(int ms) = 0;
};

class FlowProbe {
public:
    virtual ~FlowProbe() = default;
    virtual bool poll(FlowSample& out) = 0;
    virtual std::uint32_t last_error() const = 0;
};

using FlowProbeFactory = std::function<std::unique_ptr<FlowProbe>(unsigned short port, const std::string& secret)>;

}  // namespace vantorel
