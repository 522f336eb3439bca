#pragma once
// Exit codes the user interface reads from the controller.

namespace vantorel {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBrokerUnreachable = 2;
inline constexpr int kExitWriteFailed = 3;
inline constexpr int kExitReadFailed = 4;
inline constexpr int kExitDisconnectFailed = 5;
inline constexpr int kExitUsage = 64;

}  // namespace vantorel
