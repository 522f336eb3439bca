#pragma once
// Winsock start-up shared by both programs, a socket owner and the socket steps the
// connectivity checks share. Windows only.

#include <winsock2.h>

#include <cstdint>
#include <string>
#include <utility>

namespace vantorel {

// Starts Winsock 2.2 the first time it succeeds in this process; a failed start is tried
// again on the next call. The broker's service and reconcile entry points start it and call
// WSACleanup once on their way out; nothing else cleans it up.
bool EnsureWinsockStarted();

// Owns a SOCKET. INVALID_SOCKET (not 0) is "none", so ScopedResource does not fit.
class SocketHandle {
public:
    SocketHandle() = default;
    explicit SocketHandle(SOCKET s) : s_(s) {}
    ~SocketHandle() { reset(); }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    SocketHandle(SocketHandle&& other) noexcept : s_(other.release()) {}
    SocketHandle& operator=(SocketHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    SOCKET get() const { return s_; }
    bool valid() const { return s_ != INVALID_SOCKET; }
    SOCKET release() { return std::exchange(s_, INVALID_SOCKET); }
    void reset(SOCKET s = INVALID_SOCKET) {
        if (valid()) closesocket(s_);
        s_ = s;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
};

// Dotted IPv4 text to an address (starts Winsock first); false when it does not parse.
bool ParseIpv4(const std::string& text, IN_ADDR& out);
// Formats an IPv4 address; "" when it cannot be formatted.
std::string FormatIpv4(const IN_ADDR& address);

// Small socket steps the probes share.
bool SetSocketBlocking(SOCKET s, bool blocking);
void SetSocketTimeouts(SOCKET s, std::uint32_t ms);

enum class SocketWait { readable, writable, connect_outcome };
enum class WaitResult { ready, failed, timed_out, error };
// Waits up to `ms` for the socket. `connect_outcome` waits for a non-blocking connect to end
// either way: Windows reports a refused connect in the exception set, never as writable, so a
// plain writable wait only ends on success or at the time-out. `failed` only comes from
// connect_outcome; `error` is a select failure (WSAGetLastError() says which).
WaitResult WaitForSocket(SOCKET s, SocketWait what, std::uint64_t ms);
// The error a finished non-blocking connect left (SO_ERROR), or the getsockopt failure.
int PendingSocketError(SOCKET s);

}  // namespace vantorel
