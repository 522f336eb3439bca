#include "tests/wine/scripted_tcp_server.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace vantorel::testing {
namespace {

constexpr DWORD kClientTimeoutMs = 3000;

void SetReceiveTimeout(SOCKET s) {
    DWORD ms = kClientTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof(ms));
}

}  // namespace

void StartTestWinsock() {
    static bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

ScriptedTcpServer::ScriptedTcpServer(const char* ipv4, std::uint16_t port, Handler handler)
    : handler_(std::move(handler)) {
    StartTestWinsock();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, ipv4, &address.sin_addr) != 1) return;
    int length = sizeof(address);
    ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener_, 8) == 0 &&
          getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    port_ = ntohs(address.sin_port);
    if (ok_) worker_ = std::thread([this] { serve(); });
}

ScriptedTcpServer::~ScriptedTcpServer() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

void ScriptedTcpServer::serve() {
    while (!stop_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval tv{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0) continue;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        ++connections_;
        SetReceiveTimeout(client);
        handler_(client);
        closesocket(client);
    }
}

std::string ReadRequestHead(SOCKET client) {
    std::string head;
    char c;
    while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
        if (recv(client, &c, 1, 0) != 1) break;
        head.push_back(c);
    }
    return head;
}

std::string ReadBytes(SOCKET client, size_t size) {
    std::string data;
    char buffer[256];
    while (data.size() < size) {
        int want = static_cast<int>(std::min(sizeof(buffer), size - data.size()));
        int n = recv(client, buffer, want, 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

bool SendAll(SOCKET client, std::string_view data) {
    while (!data.empty()) {
        int n = send(client, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 16)), 0);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string HttpResponse(int status, const std::string& reason, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace vantorel::testing
