#pragma once
// FlowProbe over WinHTTP: GET /connections from the engine's clash API on 127.0.0.1.
// Windows only.

#include <cstdint>
#include <string>

#include "broker/contracts/platform_services.h"

namespace vantorel {

class WinHttpFlowProbe : public FlowProbe {
public:
    static constexpr size_t kBodyLimit = 4194304;

    WinHttpFlowProbe(std::uint16_t port, std::string secret);

    bool poll(FlowSample& out) override;
    std::uint32_t last_error() const override { return last_error_; }

private:
    std::uint16_t port_;
    std::string secret_;
    std::uint32_t last_error_ = 0;
};

}  // namespace vantorel
