#pragma once
// The per-session bearer secret of the engine's control API: 48 lowercase hex digits.

#include <cstdint>
#include <functional>
#include <string>

namespace vantorel {

// Returned when the random source fails; fixed so that a failure is recognisable.
inline constexpr const char kFallbackApiSecret[] = "5f3c9a1e7b2d4f608e1a3c5b7d9f0e2a4c6b8d0f1e3a5c7b";

// random: fills one 32-bit value, false on failure.
std::string make_api_secret(const std::function<bool(std::uint32_t&)>& random);
// Uses the system's cryptographic source (rand_s on Windows, /dev/urandom elsewhere).
std::string make_api_secret();

}  // namespace vantorel
