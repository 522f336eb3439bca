// The route table's HTTP 204 probes: through the TUN by its host route, and bound to one interface.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "broker/win32/win32_route_table.h"
#include "common/monotonic_clock.h"
#include "common/win32/winsock_session.h"
#include "protocol/connectivity_check.h"

namespace vantorel {
namespace {

constexpr int kInterfacePolls = 35;
constexpr long kInterfacePollMs = 200;
constexpr size_t kDirectResponseLimit = 8192;

bool Cancelled(const std::function<bool()>& cancelled) { return cancelled && cancelled(); }

sockaddr_in HttpTarget(const IN_ADDR& address) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = address;
    target.sin_port = htons(80);
    return target;
}

}  // namespace

bool Win32RouteTable::probe_http_direct(const std::string& ipv4, const std::function<bool()>& cancelled) {
    IN_ADDR address{};
    if (!ParseIpv4(ipv4, address)) return fail(ERROR_INVALID_PARAMETER);
    SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return fail(WSAGetLastError());
    SetSocketBlocking(s.get(), false);
    std::uint64_t deadline = MonotonicMs() + kDirectProbeTimeoutMs;
    sockaddr_in target = HttpTarget(address);
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return fail(error);
        const WaitResult wait = WaitForSocket(s.get(), SocketWait::connect_outcome, MsLeftUntil(deadline));
        if (wait == WaitResult::error) return fail(WSAGetLastError());
        if (wait == WaitResult::timed_out) return fail(ERROR_TIMEOUT);
        if (int so_error = PendingSocketError(s.get())) return fail(so_error);
    }
    SetSocketBlocking(s.get(), true);
    SetSocketTimeouts(s.get(), static_cast<std::uint32_t>(std::max<std::uint64_t>(1, MsLeftUntil(deadline))));

    const std::string request = ConnectivityCheckRequest();
    if (send(s.get(), request.data(), static_cast<int>(request.size()), 0) <= 0) return fail(WSAGetLastError());

    std::string response;
    char chunk[512];
    for (;;) {
        if (Cancelled(cancelled)) return false;
        if (MsLeftUntil(deadline) == 0) return fail(ERROR_TIMEOUT);
        int n = recv(s.get(), chunk, sizeof(chunk), 0);
        if (n < 0) return fail(WSAGetLastError());
        if (n == 0) return fail(ERROR_INVALID_DATA);
        response.append(chunk, static_cast<size_t>(n));
        if (IsNoContentAnswer(response)) return succeed();
        if (response.size() > kDirectResponseLimit) return fail(ERROR_INVALID_DATA);
    }
}

bool Win32RouteTable::probe_http_on_interface(std::uint32_t if_index, const std::string& ipv4,
                                              const std::function<bool()>& cancelled) {
    IN_ADDR address{};
    if (!ParseIpv4(ipv4, address)) return fail(ERROR_INVALID_PARAMETER);
    SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return fail(WSAGetLastError());
    SetSocketBlocking(s.get(), false);
    // A probe that silently left through another interface would prove the wrong path.
    DWORD bound_index = htonl(if_index);
    if (setsockopt(s.get(), IPPROTO_IP, IP_UNICAST_IF, reinterpret_cast<const char*>(&bound_index),
                   sizeof(bound_index)) != 0)
        return fail(WSAGetLastError());
    sockaddr_in target = HttpTarget(address);
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return fail(error);
    }
    bool connected = false;
    for (int poll = 0; poll < kInterfacePolls && !connected; ++poll) {
        if (Cancelled(cancelled)) return false;
        // A refused connect never turns writable: it ends at the time-out like no answer.
        connected = WaitForSocket(s.get(), SocketWait::writable, kInterfacePollMs) == WaitResult::ready;
    }
    if (!connected) return fail(ERROR_TIMEOUT);

    const std::string request = ConnectivityCheckRequest();
    send(s.get(), request.data(), static_cast<int>(request.size()), 0);

    for (int poll = 0; poll < kInterfacePolls; ++poll) {
        if (Cancelled(cancelled)) return false;
        if (WaitForSocket(s.get(), SocketWait::readable, kInterfacePollMs) != WaitResult::ready) continue;
        char buffer[512] = {};
        int n = recv(s.get(), buffer, 511, 0);
        int error = WSAGetLastError();
        s.reset();
        // A peer that closes without a byte leaves no Winsock error; it is still no answer.
        if (n == 0) return fail(ERROR_INVALID_DATA);
        if (n < 0) return fail(error != 0 ? error : ERROR_INVALID_DATA);
        // One read, any "204" in it: the adapter answered through the tunnel.
        if (AnswerHas(std::string_view(buffer, static_cast<size_t>(n)), "204")) return succeed();
        return fail(ERROR_INVALID_DATA);
    }
    return fail(ERROR_TIMEOUT);
}

}  // namespace vantorel
