#include "broker/win32/winsock_session.h"

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

std::uint64_t MonotonicMs() { return GetTickCount64(); }

}  // namespace vantorel
