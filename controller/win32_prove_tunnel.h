#pragma once
// The user-side check that traffic flows through the tunnel. Windows only.

#include <string>

#include "protocol/connectivity_check.h"

namespace vantorel {

// True when the endpoint answered "GET /generate_204" with a status line holding " 204".
// Reached by name, IPv4 only. Tests aim it at a loopback server.
bool ProveTunnel(const std::string& host = kConnectivityCheckHost, const std::string& port = "80");

}  // namespace vantorel
