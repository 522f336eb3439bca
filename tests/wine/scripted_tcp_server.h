#pragma once
// A TCP server played by the test: listens on an IPv4 address and hands each accepted
// connection, one at a time, to a handler the test writes. Windows only (Winsock).

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vantorel::testing {

class ScriptedTcpServer {
public:
    using Handler = std::function<void(SOCKET client)>;

    // Port 0 picks a free port.
    ScriptedTcpServer(const char* ipv4, std::uint16_t port, Handler handler);
    ~ScriptedTcpServer();
    ScriptedTcpServer(const ScriptedTcpServer&) = delete;
    ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }

private:
    void serve();

    SOCKET listener_ = INVALID_SOCKET;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread worker_;
};

// Reads until the blank line that ends an HTTP request head (or close, or 3 s).
std::string ReadRequestHead(SOCKET client);
// Reads exactly `size` bytes (or fewer on close / 3 s).
std::string ReadBytes(SOCKET client, size_t size);
bool SendAll(SOCKET client, std::string_view data);
// A complete HTTP/1.1 response with Content-Length and Connection: close.
std::string HttpResponse(int status, const std::string& reason, const std::string& body);

// Collects what handlers saw, for the test thread to inspect afterwards.
class Transcript {
public:
    void add(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(text));
    }
    std::vector<std::string> items() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
};

// Winsock for the test process itself.
void StartTestWinsock();

}  // namespace vantorel::testing
