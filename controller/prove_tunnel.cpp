#include "controller/prove_tunnel.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <optional>
#include <utility>

#include "broker/win32/win_handle.h"
#include "controller/bounded_call.h"

namespace vantorel {
namespace {

constexpr long kConnectWaitSeconds = kProofConnectWaitMs / 1000;
constexpr long kReceiveWaitSeconds = kProofReceiveWaitMs / 1000;
constexpr int kMaxReceives = kProofMaxReceives;
constexpr int kReceiveChunk = 512;

class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started_) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool started() const { return started_; }

private:
    bool started_ = false;
};

class SocketOwner {
public:
    explicit SocketOwner(SOCKET s) : s_(s) {}
    ~SocketOwner() {
        if (valid()) closesocket(s_);
    }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;
    SOCKET get() const { return s_; }
    bool valid() const { return s_ != INVALID_SOCKET; }

private:
    SOCKET s_;
};

using AddressList = ScopedResource<addrinfo*, &freeaddrinfo>;

// The first IPv4 address of `host` with `port`; family 0 when there is none.
sockaddr_in LookupIpv4(const std::string& host, const std::string& port) {
    // Its own Winsock reference: a lookup that overruns the wait outlives the caller's.
    WinsockSession winsock;
    sockaddr_in found{};
    if (!winsock.started()) return found;
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
    const std::optional<sockaddr_in> found = CallWithin<sockaddr_in>(
        [host, port] { return LookupIpv4(host, port); }, std::chrono::milliseconds(kProofResolveWaitMs));
    if (!found || found->sin_family != AF_INET) return false;
    out = *found;
    return true;
}

bool WaitFor(SOCKET s, bool writable, long seconds) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval limit{seconds, 0};
    const int n = select(0, writable ? nullptr : &ready, writable ? &ready : nullptr, &failed, &limit);
    return n > 0 && FD_ISSET(s, &ready) && !FD_ISSET(s, &failed);
}

// Windows reports a refused non-blocking connect through the exception set, not as
// writable; checking the socket error as well ends a refused check at once.
bool ConnectedWithin(SOCKET s, long seconds) {
    if (!WaitFor(s, true, seconds)) return false;
    int error = 0;
    int length = sizeof(error);
    return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 && error == 0;
}

bool StartConnect(SOCKET s, const sockaddr_in& address) {
    u_long non_blocking = 1;
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

std::string CollectStatusLine(SOCKET s) {
    std::string collected;
    char chunk[kReceiveChunk];
    for (int i = 0; i < kMaxReceives; ++i) {
        if (collected.size() > 1 && collected.find("\r\n") != std::string::npos) break;
        if (!WaitFor(s, false, kReceiveWaitSeconds)) break;
        const int got = recv(s, chunk, sizeof(chunk), 0);
        if (got <= 0) break;
        collected.append(chunk, static_cast<std::size_t>(got));
    }
    return collected;
}

}  // namespace

std::string ProveRequest(const std::string& host) {
    return "GET /generate_204 HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
}

bool ProveTunnel(const std::string& host, const std::string& port) {
    WinsockSession winsock;
    if (!winsock.started()) return false;
    std::string answer;
    {
        sockaddr_in address{};
        if (!ResolveIpv4(host, port, address)) return false;
        SocketOwner socket_owner(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!socket_owner.valid()) return false;
        if (!StartConnect(socket_owner.get(), address)) return false;
        if (!ConnectedWithin(socket_owner.get(), kConnectWaitSeconds)) return false;
        const std::string request = ProveRequest(host);
        send(socket_owner.get(), request.data(), static_cast<int>(request.size()), 0);
        answer = CollectStatusLine(socket_owner.get());
    }
    return answer.size() >= 4 && answer.find(" 204") != std::string::npos;
}

}  // namespace vantorel
