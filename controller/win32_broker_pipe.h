#pragma once
// BrokerPipe over a synchronous named-pipe handle. Windows only.

#include "common/win32/win_handle.h"
#include "controller/broker_pipe.h"

namespace vantorel {

class Win32BrokerPipe final : public BrokerPipe {
public:
    explicit Win32BrokerPipe(WinHandle pipe) : pipe_(std::move(pipe)) {}

    bool Peek(std::size_t& available) override;
    bool Read(std::size_t max_bytes, std::string& buffer) override;
    bool WriteAll(const std::string& bytes) override;
    void Close() override { pipe_.reset(); }

private:
    WinHandle pipe_;
};

}  // namespace vantorel
