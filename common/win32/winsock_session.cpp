#include "common/win32/winsock_session.h"

#include <windows.h>
#include <ws2tcpip.h>

#include <mutex>

namespace vantorel {

bool EnsureWinsockStarted() {
    static std::mutex guard;
    static bool started = false;
    std::lock_guard<std::mutex> lock(guard);
    if (started) return true;
    WSADATA data{};
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return started;
}

bool ParseIpv4(const std::string& text, IN_ADDR& out) {
    EnsureWinsockStarted();
    IN_ADDR parsed{};
    if (text.empty() || inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    out = parsed;
    return true;
}

std::string FormatIpv4(const IN_ADDR& address) {
    char text[INET_ADDRSTRLEN] = {};
    IN_ADDR copy = address;
    if (inet_ntop(AF_INET, &copy, text, sizeof(text)) == nullptr) return std::string();
    return text;
}

bool SetSocketBlocking(SOCKET s, bool blocking) {
    u_long mode = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

void SetSocketTimeouts(SOCKET s, std::uint32_t ms) {
    DWORD value = ms;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof(value));
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof(value));
}

WaitResult WaitForSocket(SOCKET s, SocketWait what, std::uint64_t ms) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    const bool watch_failure = what == SocketWait::connect_outcome;
    timeval limit{};
    limit.tv_sec = static_cast<long>(ms / 1000);
    limit.tv_usec = static_cast<long>((ms % 1000) * 1000);
    const int n = select(0, what == SocketWait::readable ? &ready : nullptr,
                         what == SocketWait::readable ? nullptr : &ready, watch_failure ? &failed : nullptr, &limit);
    if (n == SOCKET_ERROR) return WaitResult::error;
    if (n == 0) return WaitResult::timed_out;
    if (watch_failure && FD_ISSET(s, &failed)) return WaitResult::failed;
    return WaitResult::ready;
}

int PendingSocketError(SOCKET s) {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return WSAGetLastError();
    return error;
}

}  // namespace vantorel
