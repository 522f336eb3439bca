#pragma once
// Firewall over the Windows Filtering Platform (fwpuclnt): a dynamic session, so every filter
// goes with the broker's process. The tunnel's DNS server through the IP Helper (or, before
// Windows 10 build 19041, the TCP/IP interface key the system reads it from). Windows only.

#include <cstdint>
#include <string>

#include "broker/contracts/platform_services.h"

namespace vantorel {

class Win32Firewall : public Firewall {
public:
    // engine_path: the engine executable, whose own traffic (to the proxy server, and what it
    // sends direct) is let out.
    explicit Win32Firewall(std::wstring engine_path);
    ~Win32Firewall() override;
    Win32Firewall(const Win32Firewall&) = delete;
    Win32Firewall& operator=(const Win32Firewall&) = delete;

    bool open(const FirewallPolicy& policy) override;
    bool close() override;
    bool filters_absent() override;
    bool set_tunnel_dns(const std::string& adapter_guid, const std::string& server) override;
    void flush_resolver_cache() override;
    std::uint32_t last_error() const override { return last_error_; }

private:
    bool fail(std::uint32_t error) {
        last_error_ = error;
        return false;
    }

    std::wstring engine_path_;
    void* session_ = nullptr;  // the dynamic session's engine handle while filters are up
    std::uint32_t last_error_ = 0;
};

}  // namespace vantorel
