#pragma once
// Bodies of the engine's GET /connections answer, shaped like those sing-box's clash API
// writes (field order, nesting, escapes in process paths), for the walk benchmarks.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantorel::bench {

// A body with `connections` entries; `round` moves every counter on, as a later poll would.
std::string ConnectionsBody(std::size_t connections, std::uint64_t round = 0);
// A body of at least `bytes` bytes (whole connections, so a little more).
std::string ConnectionsBodyOfSize(std::size_t bytes);

}  // namespace vantorel::bench
