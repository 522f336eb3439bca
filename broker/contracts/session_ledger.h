#pragma once
// The record of every change a session has made on the host, and the work an admitted
// connect hands to the worker.

#include <cstdint>
#include <string>
#include <vector>

#include "broker/contracts/platform_records.h"
#include "protocol/codes.h"

namespace vantorel {

struct SessionLedger {
    long long generation = 0;
    SessionState phase = SessionState::idle;
    std::uint32_t pid = 0;
    bool cleanup_verified = true;
    bool pin_intended = false;
    PinRoute pin;
    bool adapter_known = false;
    AdapterInfo adapter;
    std::vector<CaptureRoute> routes;
    bool config_written = false;
    bool firewall_open = false;   // set before the filters are asked for
    std::string tunnel_dns_guid;  // the adapter whose DNS server is being set, before it is set
};

struct ConnectJob {
    std::string uri;
    std::vector<std::string> direct_domains;
    std::vector<std::string> force_proxy_domains;
    bool udp_direct = false;
};

}  // namespace vantorel
