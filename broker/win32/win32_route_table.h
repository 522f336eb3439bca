#pragma once
// RouteTable over the IP Helper (routes, interfaces, adapters), SetupAPI (adapter removal)
// and Winsock (the HTTP 204 probes). Windows only.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "broker/contracts/platform_services.h"

namespace vantorel {

class Win32RouteTable : public RouteTable {
public:
    Win32RouteTable() = default;

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
    bool fail(std::uint32_t error) {
        last_error_ = error;
        return false;
    }
    bool succeed() {
        last_error_ = 0;
        return true;
    }

    std::uint32_t last_error_ = 0;
};

}  // namespace vantorel
