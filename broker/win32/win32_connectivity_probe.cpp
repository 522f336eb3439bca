#include "broker/win32/win32_connectivity_probe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "common/monotonic_clock.h"
#include "common/win32/winsock_session.h"
#include "protocol/connectivity_check.h"

namespace vantorel {
namespace {

constexpr std::uint64_t kSocksProbeMs = 12000;
constexpr std::uint64_t kConnectWaitMs = 250;
constexpr DWORD kRetryPauseMs = 100;
constexpr std::uint64_t kTransferTimeoutMs = 5000;
constexpr std::uint64_t kTransferTimeoutFloorMs = 1000;

bool Cancelled(const std::function<bool()>& cancelled) { return cancelled && cancelled(); }

// Whole-buffer transfers that give up at the deadline or when the caller cancels.
// Each returns 0 or the error number that ends the probe.
class SocksTransfer {
public:
    SocksTransfer(SOCKET s, std::uint64_t deadline, const std::function<bool()>& cancelled)
        : s_(s), deadline_(deadline), cancelled_(cancelled) {}

    std::uint32_t may_continue() const {
        if (Cancelled(cancelled_)) return ERROR_CANCELLED;
        if (MsLeftUntil(deadline_) == 0) return ERROR_TIMEOUT;
        return 0;
    }

    std::uint32_t send_all(const char* data, size_t size) const {
        size_t sent = 0;
        while (sent < size) {
            if (std::uint32_t stop = may_continue()) return stop;
            int n = send(s_, data + sent, static_cast<int>(size - sent), 0);
            if (n <= 0) return TransferError();
            sent += static_cast<size_t>(n);
        }
        return 0;
    }

    std::uint32_t receive_exact(char* data, size_t size) const {
        size_t received = 0;
        while (received < size) {
            if (std::uint32_t stop = may_continue()) return stop;
            WSASetLastError(0);
            int n = recv(s_, data + received, static_cast<int>(size - received), 0);
            if (n < 0) return TransferError();
            // A proxy that hangs up mid-reply leaves no Winsock error behind.
            if (n == 0) return ERROR_INVALID_DATA;
            received += static_cast<size_t>(n);
        }
        return 0;
    }

private:
    static std::uint32_t TransferError() {
        int error = WSAGetLastError();
        return error != 0 ? static_cast<std::uint32_t>(error) : ERROR_INVALID_DATA;
    }

    SOCKET s_;
    std::uint64_t deadline_;
    const std::function<bool()>& cancelled_;
};

sockaddr_in LoopbackPort(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

bool Win32ConnectivityProbe::fail_first(std::uint32_t error, const char* code) {
    if (last_error_ == 0) last_error_ = error;
    if (last_code_[0] == '\0') last_code_ = code;
    return false;
}

void Win32ConnectivityProbe::record_first(std::uint32_t error) {
    if (last_error_ == 0) last_error_ = error;
}

bool Win32ConnectivityProbe::reserve_local_port(std::uint16_t& port_out) {
    last_code_ = "";
    last_error_ = 0;
    EnsureWinsockStarted();
    SocketHandle s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.valid()) return fail_first(WSAGetLastError(), "bind_failed");
    sockaddr_in address = LoopbackPort(0);
    if (bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return fail_first(WSAGetLastError(), "bind_failed");
    int length = sizeof(address);
    if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail_first(WSAGetLastError(), "bind_failed");
    std::uint16_t port = ntohs(address.sin_port);
    if (port == 0) return fail_first(ERROR_INVALID_DATA, "bind_failed");
    port_out = port;
    return true;
}

bool Win32ConnectivityProbe::probe_through_socks(std::uint16_t port, const std::string& ipv4,
                                                 const std::function<bool()>& cancelled) {
    last_error_ = 0;
    last_code_ = "";
    IN_ADDR target{};
    if (port == 0 || !ParseIpv4(ipv4, target)) return fail_first(ERROR_INVALID_PARAMETER, "socks_unreachable");

    std::uint64_t deadline = MonotonicMs() + kSocksProbeMs;
    SocketHandle s;
    bool connected = false;
    while (!connected && MsLeftUntil(deadline) > 0 && !Cancelled(cancelled)) {
        s.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!s.valid()) {
            record_first(WSAGetLastError());
            break;
        }
        SetSocketBlocking(s.get(), false);
        sockaddr_in proxy = LoopbackPort(port);
        if (connect(s.get(), reinterpret_cast<const sockaddr*>(&proxy), sizeof(proxy)) == 0) {
            connected = true;
        } else if (int error = WSAGetLastError(); error != WSAEWOULDBLOCK) {
            record_first(error);
        } else {
            if (WaitForSocket(s.get(), SocketWait::writable, kConnectWaitMs) == WaitResult::ready) {
                const int so_error = PendingSocketError(s.get());
                if (so_error == 0)
                    connected = true;
                else
                    record_first(so_error);
            } else {
                record_first(ERROR_TIMEOUT);
            }
        }
        if (!connected) {
            s.reset();
            Sleep(kRetryPauseMs);
        }
    }
    if (!connected) return fail_first(ERROR_TIMEOUT, "socks_unreachable");
    // Refusals before the proxy came up are history once it accepts.
    last_error_ = 0;
    SetSocketBlocking(s.get(), true);

    if (MsLeftUntil(deadline) == 0) return fail_first(ERROR_TIMEOUT, "socks_handshake");
    std::uint64_t timeout = std::max(std::min(kTransferTimeoutMs, MsLeftUntil(deadline)), kTransferTimeoutFloorMs);
    SetSocketTimeouts(s.get(), static_cast<std::uint32_t>(timeout));
    SocksTransfer transfer(s.get(), deadline, cancelled);

    const char greeting[3] = {5, 1, 0};  // version 5, one method: no authentication
    char choice[2] = {};
    if (std::uint32_t error = transfer.send_all(greeting, sizeof(greeting)))
        return fail_first(error, "socks_handshake");
    if (std::uint32_t error = transfer.receive_exact(choice, sizeof(choice)))
        return fail_first(error, "socks_handshake");
    if (choice[0] != 5 || choice[1] != 0) return fail_first(ERROR_ACCESS_DENIED, "socks_handshake");

    char request[10] = {5, 1, 0, 1};  // CONNECT to an IPv4 address
    std::memcpy(request + 4, &target.s_addr, 4);
    request[8] = 0;
    request[9] = 80;
    char reply[10] = {};
    if (std::uint32_t error = transfer.send_all(request, sizeof(request))) return fail_first(error, "socks_refused");
    if (std::uint32_t error = transfer.receive_exact(reply, sizeof(reply))) return fail_first(error, "socks_refused");
    if (reply[0] != 5 || reply[1] != 0) return fail_first(ERROR_CONNECTION_REFUSED, "socks_refused");

    const std::string probe = ConnectivityCheckRequest();
    if (std::uint32_t error = transfer.send_all(probe.data(), probe.size())) return fail_first(error, "http_timeout");
    if (std::uint32_t error = transfer.may_continue()) return fail_first(error, "http_timeout");
    char answer[1024] = {};
    WSASetLastError(0);  // a peer that just closes sets nothing; do not report a stale error
    int n = recv(s.get(), answer, 1023, 0);
    int receive_error = WSAGetLastError();
    s.reset();
    if (n <= 0) return fail_first(receive_error != 0 ? receive_error : ERROR_TIMEOUT, "http_timeout");
    if (IsNoContentAnswer(std::string_view(answer, static_cast<size_t>(n)))) {
        last_error_ = 0;
        last_code_ = "";
        return true;
    }
    return fail_first(ERROR_INVALID_DATA, "http_bad_status");
}

}  // namespace vantorel
