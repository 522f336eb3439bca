#include "broker/win32/win32_http_probes.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "broker/win32/win32_route_table.h"
#include "broker/win32/winsock_session.h"
#include "protocol/connectivity_check.h"

namespace vantorel {
namespace {

constexpr std::uint64_t kDirectProbeMs = 3500;
constexpr int kInterfacePolls = 35;
constexpr long kInterfacePollMs = 200;
constexpr size_t kDirectResponseLimit = 8192;

timeval Timeval(std::uint64_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

std::uint64_t TimeLeft(std::uint64_t deadline) {
    std::uint64_t now = MonotonicMs();
    return now >= deadline ? 0 : deadline - now;
}

bool Cancelled(const std::function<bool()>& cancelled) { return cancelled && cancelled(); }

// 1: ready, 0: time-out, -1: select failed.
int WaitWritable(SOCKET s, std::uint64_t ms, bool with_exceptions) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv = Timeval(ms);
    int n = select(0, nullptr, &writable, with_exceptions ? &failed : nullptr, &tv);
    return n == SOCKET_ERROR ? -1 : (n > 0 ? 1 : 0);
}

int WaitReadable(SOCKET s, std::uint64_t ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv = Timeval(ms);
    int n = select(0, &readable, nullptr, nullptr, &tv);
    return n == SOCKET_ERROR ? -1 : (n > 0 ? 1 : 0);
}

int SocketError(SOCKET s) {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return WSAGetLastError();
    return error;
}

sockaddr_in HttpTarget(const IN_ADDR& address) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = address;
    target.sin_port = htons(80);
    return target;
}

}  // namespace

std::string ConnectivityProbeRequest() {
    std::string request = "GET /generate_204 HTTP/1.1\r\nHost: ";
    request += kConnectivityCheckHost;
    request += "\r\nConnection: close\r\n\r\n";
    return request;
}

bool ResponseHas(std::string_view response, std::string_view marker) {
    return response.find(marker) != std::string_view::npos;
}

bool Win32RouteTable::probe_http_direct(const std::string& ipv4, const std::function<bool()>& cancelled) {
    IN_ADDR address{};
    if (!ParseIpv4(ipv4, address)) return fail(ERROR_INVALID_PARAMETER);
    SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return fail(WSAGetLastError());
    SetSocketBlocking(s.get(), false);
    std::uint64_t deadline = MonotonicMs() + kDirectProbeMs;
    sockaddr_in target = HttpTarget(address);
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return fail(error);
        int ready = WaitWritable(s.get(), TimeLeft(deadline), true);
        if (ready < 0) return fail(WSAGetLastError());
        if (ready == 0) return fail(ERROR_TIMEOUT);
        if (int so_error = SocketError(s.get())) return fail(so_error);
    }
    SetSocketBlocking(s.get(), true);
    SetSocketTimeouts(s.get(), static_cast<std::uint32_t>(std::max<std::uint64_t>(1, TimeLeft(deadline))));

    std::string request = ConnectivityProbeRequest();
    if (send(s.get(), request.data(), static_cast<int>(request.size()), 0) <= 0) return fail(WSAGetLastError());

    std::string response;
    char chunk[512];
    for (;;) {
        if (Cancelled(cancelled)) return false;
        if (TimeLeft(deadline) == 0) return fail(ERROR_TIMEOUT);
        int n = recv(s.get(), chunk, sizeof(chunk), 0);
        if (n < 0) return fail(WSAGetLastError());
        if (n == 0) return fail(ERROR_INVALID_DATA);
        response.append(chunk, static_cast<size_t>(n));
        if (response.size() >= 4 && ResponseHas(response, " 204")) return succeed();
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
        connected = WaitWritable(s.get(), kInterfacePollMs, false) > 0;
    }
    if (!connected) return fail(ERROR_TIMEOUT);

    std::string request = ConnectivityProbeRequest();
    send(s.get(), request.data(), static_cast<int>(request.size()), 0);

    for (int poll = 0; poll < kInterfacePolls; ++poll) {
        if (Cancelled(cancelled)) return false;
        if (WaitReadable(s.get(), kInterfacePollMs) <= 0) continue;
        char buffer[512] = {};
        int n = recv(s.get(), buffer, 511, 0);
        int error = WSAGetLastError();
        s.reset();
        // A peer that closes without a byte leaves no Winsock error; it is still no answer.
        if (n == 0) return fail(ERROR_INVALID_DATA);
        if (n < 0) return fail(error != 0 ? error : ERROR_INVALID_DATA);
        if (ResponseHas(std::string_view(buffer, static_cast<size_t>(n)), "204")) return succeed();
        return fail(ERROR_INVALID_DATA);
    }
    return fail(ERROR_TIMEOUT);
}

}  // namespace vantorel
