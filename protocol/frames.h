#pragma once
// Pipe framing: a 4-byte little-endian length, then the JSON payload.

#include <cstddef>
#include <string>

namespace vantorel {

inline constexpr std::size_t kMaxFramePayload = 65536;
inline constexpr std::size_t kMaxFrameBytes = kMaxFramePayload + 4;

// Empty result when the payload is too long to frame.
std::string EncodeFrame(const std::string& payload);
// Takes the first complete frame off the front of `buffer`. False with an empty error means
// "wait for more"; error "frame" means an oversized length (the buffer is emptied).
bool ExtractFrame(std::string& buffer, std::string& payload, std::string& error);

}  // namespace vantorel
