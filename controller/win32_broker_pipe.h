#pragma once
// BrokerPipe over an overlapped named-pipe handle. Windows only.

#include <string>

#include "common/win32/win_handle.h"
#include "controller/broker_pipe.h"

namespace vantorel {

// The handle must have been opened with FILE_FLAG_OVERLAPPED: a read is left pending while
// the relay waits on it together with its wake signal, and picked up by the next Peek or Read.
class Win32BrokerPipe final : public BrokerPipe {
public:
    explicit Win32BrokerPipe(WinHandle pipe);
    ~Win32BrokerPipe() override { close(); }
    Win32BrokerPipe(const Win32BrokerPipe&) = delete;
    Win32BrokerPipe& operator=(const Win32BrokerPipe&) = delete;

    bool peek(std::size_t& available) override;
    bool read(std::size_t max_bytes, std::string& buffer) override;
    bool write_all(const std::string& bytes) override;
    void wait_for_bytes_or(WakeSignal& wake) override;
    void close() override;

private:
    void start_read();
    // Takes the pending read's outcome; with `wait` false a read still under way stays pending.
    void settle(bool wait);

    WinHandle pipe_;
    WinHandle read_event_;
    // One event for every write: each write waits for its own end, and writes never overlap
    // (WriteFrame holds a lock), so making one per write would only cost two more system calls.
    WinHandle write_event_;
    OVERLAPPED read_{};
    bool reading_ = false;
    bool broken_ = false;
    std::string ready_;  // what finished reads brought and nobody has taken yet
    char chunk_[kPipeReadChunk];
};

}  // namespace vantorel
