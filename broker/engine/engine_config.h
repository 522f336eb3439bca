#pragma once
// The sing-box configuration document for one session.

#include <string>
#include <vector>

#include "broker/engine/server_profile.h"

namespace vantorel {

// The "proxy" outbound object, or "" when the server address is empty or not IPv4.
std::string BuildProxyOutbound(const ServerProfile& profile, const std::string& server);
// The whole document, or "" when the outbound cannot be built. api_port 0: no clash API.
std::string BuildEngineConfig(const ServerProfile& profile, const std::string& server,
                              const std::vector<std::string>& direct_domains,
                              const std::vector<std::string>& force_proxy_domains, bool udp_direct,
                              unsigned short api_port, const std::string& api_secret);

}  // namespace vantorel
