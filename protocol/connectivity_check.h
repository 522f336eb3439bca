#pragma once
// The public endpoint that answers "GET /generate_204" on port 80 with 204. The broker's
// egress check and the controller's proof must ask the same host, in the same words.

#include <string>
#include <string_view>

namespace vantorel {

inline constexpr const char kConnectivityCheckHost[] = "connectivitycheck.gstatic.com";

// The controller's proof gives up within these bounds: the name, the connect, then at most
// kProofMaxReceives reads of one wait each.
inline constexpr int kProofResolveWaitMs = 8000;
inline constexpr int kProofConnectWaitMs = 7000;
inline constexpr int kProofReceiveWaitMs = 1000;
inline constexpr int kProofMaxReceives = 20;
inline constexpr int kProofLongestMs =
    kProofResolveWaitMs + kProofConnectWaitMs + kProofMaxReceives * kProofReceiveWaitMs;

// How long the broker waits for the verdict after tun_ready: the proof's longest run plus room
// for the relay's polling and the pipe, so no verdict the controller sends comes too late.
inline constexpr int kProofVerdictWaitMs = kProofLongestMs + 5000;

// "GET /generate_204" with only Host and Connection headers, as one block.
std::string ConnectivityCheckRequest(std::string_view host = kConnectivityCheckHost);
// True when `answer` holds `marker` anywhere.
bool AnswerHas(std::string_view answer, std::string_view marker);
// The check passed: at least four bytes arrived and they hold " 204".
bool IsNoContentAnswer(std::string_view answer);

}  // namespace vantorel
