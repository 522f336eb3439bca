#pragma once
// Pieces shared by the HTTP 204 probes of the route table and the SOCKS probe.
// Portable declarations; the text is what every probe sends.

#include <string>
#include <string_view>

namespace vantorel {

// "GET /generate_204" with only Host and Connection headers, as one block.
std::string ConnectivityProbeRequest();
// True when `response` holds `marker` anywhere (the probes look for " 204" or "204").
bool ResponseHas(std::string_view response, std::string_view marker);

}  // namespace vantorel
