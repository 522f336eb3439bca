#pragma once
// Names both programs must agree on: the controller opens the pipe only when the service of this
// name serves it.

namespace vantorel {

inline constexpr wchar_t kBrokerPipeName[] = L"\\\\.\\pipe\\VantorelBrokerV3";
inline constexpr wchar_t kBrokerServiceName[] = L"VantorelBroker";

}  // namespace vantorel
