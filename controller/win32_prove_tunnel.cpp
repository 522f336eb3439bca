#include "controller/win32_prove_tunnel.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <optional>
#include <utility>

#include "common/win32/win_handle.h"
#include "common/win32/winsock_session.h"
#include "controller/bounded_call.h"

namespace vantorel {
namespace {

constexpr int kMaxReceives = kProofMaxReceives;
constexpr int kReceiveChunk = 512;

using AddressList = ScopedResource<addrinfo*, &freeaddrinfo>;

// The first IPv4 address of `host` with `port`; family 0 when there is none.
sockaddr_in LookupIpv4(const std::string& host, const std::string& port) {
    sockaddr_in found{};
    if (!EnsureWinsockStarted()) return found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* answers = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &answers) != 0 || answers == nullptr) return found;
    AddressList owned(answers);
    if (answers->ai_family == AF_INET && answers->ai_addrlen >= sizeof(found)) {
        found = *reinterpret_cast<const sockaddr_in*>(answers->ai_addr);
    }
    return found;
}

// getaddrinfo has no time-out of its own; bounding it keeps the whole proof within the time
// the broker waits for its verdict.
bool ResolveIpv4(const std::string& host, const std::string& port, sockaddr_in& out) {
    const std::optional<sockaddr_in> found = CallWithin<sockaddr_in>([host, port] { return LookupIpv4(host, port); },
                                                                     std::chrono::milliseconds(kProofResolveWaitMs));
    if (!found || found->sin_family != AF_INET) return false;
    out = *found;
    return true;
}

// Windows reports a refused non-blocking connect through the exception set, not as
// writable; checking the socket error as well ends a refused check at once.
bool ConnectedWithin(SOCKET s, std::uint64_t ms) {
    return WaitForSocket(s, SocketWait::connect_outcome, ms) == WaitResult::ready && PendingSocketError(s) == 0;
}

bool StartConnect(SOCKET s, const sockaddr_in& address) {
    if (!SetSocketBlocking(s, false)) return false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

std::string CollectStatusLine(SOCKET s) {
    std::string collected;
    char chunk[kReceiveChunk];
    for (int i = 0; i < kMaxReceives; ++i) {
        if (collected.size() > 1 && collected.find("\r\n") != std::string::npos) break;
        if (WaitForSocket(s, SocketWait::readable, kProofReceiveWaitMs) != WaitResult::ready) break;
        const int got = recv(s, chunk, sizeof(chunk), 0);
        if (got <= 0) break;
        collected.append(chunk, static_cast<std::size_t>(got));
    }
    return collected;
}

}  // namespace

bool ProveTunnel(const std::string& host, const std::string& port) {
    if (!EnsureWinsockStarted()) return false;
    std::string answer;
    {
        sockaddr_in address{};
        if (!ResolveIpv4(host, port, address)) return false;
        SocketHandle socket_owner(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!socket_owner.valid()) return false;
        if (!StartConnect(socket_owner.get(), address)) return false;
        if (!ConnectedWithin(socket_owner.get(), kProofConnectWaitMs)) return false;
        const std::string request = ConnectivityCheckRequest(host);
        send(socket_owner.get(), request.data(), static_cast<int>(request.size()), 0);
        answer = CollectStatusLine(socket_owner.get());
    }
    return IsNoContentAnswer(answer);
}

}  // namespace vantorel
