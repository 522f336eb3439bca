#pragma once
// The engine's GET /connections body reduced to a FlowSample. Portable: no Windows headers.

#include <string>

#include "broker/contracts/platform_records.h"

namespace vantorel {

// False when the body is not an object with a "connections" array; `out` is then untouched.
bool ParseConnectionsResponse(const std::string& body, FlowSample& out);
// Drops CR, LF and tab, turns spaces into '_', keeps at most 96 bytes.
std::string sanitize_flow_text(const std::string& text);

}  // namespace vantorel
