#pragma once
// ConnectivityProbe: a free loopback port for the engine's control API and an HTTP 204
// check through a local SOCKS5 proxy. Windows only.

#include <cstdint>
#include <functional>
#include <string>

#include "broker/contracts/platform_services.h"

namespace vantorel {

class Win32ConnectivityProbe : public ConnectivityProbe {
public:
    bool reserve_local_port(std::uint16_t& port_out) override;
    bool probe_through_socks(std::uint16_t port, const std::string& ipv4,
                             const std::function<bool()>& cancelled) override;
    std::uint32_t last_error() const override { return last_error_; }
    const char* last_code() const override { return last_code_; }

private:
    // Within one probe the first failure recorded is the one reported.
    bool fail_first(std::uint32_t error, const char* code);
    void record_first(std::uint32_t error);

    std::uint32_t last_error_ = 0;
    const char* last_code_ = "";
};

}  // namespace vantorel
