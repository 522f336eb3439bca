#pragma once
// The controller's end of the broker pipe, as the modes use it. The Windows build wraps an
// overlapped named-pipe handle; tests substitute their own.

#include <cstddef>
#include <string>

namespace vantorel {

class WakeSignal;

class BrokerPipe {
public:
    virtual ~BrokerPipe() = default;
    // Bytes waiting to be read without blocking. False when the pipe is closed or broken.
    virtual bool peek(std::size_t& available) = 0;
    // Blocks until at least one byte arrives, then appends up to `max_bytes` to `buffer`.
    // False on a failed read or a read of 0 bytes.
    virtual bool read(std::size_t max_bytes, std::string& buffer) = 0;
    // One write of all of `bytes`; true only when every byte was written.
    virtual bool write_all(const std::string& bytes) = 0;
    // Blocks until bytes are waiting, the pipe is closed or broken, or `wake` is raised (the
    // raise is then taken). Nothing else wakes it: no time-out.
    virtual void wait_for_bytes_or(WakeSignal& wake) = 0;
    virtual void close() = 0;
};

// Frames `payload` and writes it under a process-wide lock, so frames from different threads
// never interleave. A payload too long to frame fails without writing anything.
bool WriteFrame(BrokerPipe& pipe, const std::string& payload);

inline constexpr std::size_t kPipeReadChunk = 8192;

}  // namespace vantorel
