#pragma once
// What a state event reports: the session as last published by the tunnel core.

#include <string>

#include "protocol/codes.h"

namespace vantorel {

struct TunnelSnapshot {
    SessionState state = SessionState::idle;
    long long generation = 0;
    ErrorCode code = ErrorCode::none;
    std::string message;
    bool cleanup_verified = true;
};

}  // namespace vantorel
