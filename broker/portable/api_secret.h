#pragma once
// The per-session bearer secret of the engine's control API: 48 lowercase hex digits.

#include <cstdint>
#include <functional>
#include <string>

namespace vantorel {

// random: fills one 32-bit value, false on failure. A failure gives the empty string: a
// constant secret would be known to every reader of the source, so then no API is served.
std::string make_api_secret(const std::function<bool(std::uint32_t&)>& random);
// Uses the system's cryptographic source (rand_s on Windows, /dev/urandom elsewhere).
std::string make_api_secret();

}  // namespace vantorel
