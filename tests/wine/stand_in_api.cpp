#include "tests/wine/stand_in_api.h"

#include <winsock2.h>
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "common/win32/winsock_session.h"

namespace vantorel::stand_in {
namespace {

struct Flow {
    const char* id;
    const char* network;
    const char* destination;
    const char* port;
    const char* host;
    const char* chain;
    std::uint64_t up_per_s;
    std::uint64_t down_per_s;
};

constexpr Flow kFlows[] = {
    {"2f0c6d0e-3b1a-4c55-9a51-1d2e3f405161", "tcp", "198.18.0.80", "443", "example.org", "proxy", 24000, 96000},
    {"7a9b8c7d-6e5f-4a3b-8c2d-1e0f9a8b7c6d", "udp", "198.18.0.53", "53", "", "direct", 300, 900},
    {"c3d2e1f0-a9b8-4c7d-8e6f-5a4b3c2d1e0f", "tcp", "203.0.113.44", "80", "updates.example.net", "proxy", 0, 0},
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
    const std::string lowered = Lower(head);
    size_t at = lowered.find("\r\n" + Lower(name) + ":");
    if (at == std::string::npos) return std::string();
    at += name.size() + 3;
    size_t end = head.find("\r\n", at);
    std::string value = head.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return value;
}

std::string Response(const char* status, const std::string& body) {
    return std::string("HTTP/1.1 ") + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

void ServeClient(SocketHandle client, const std::string& secret, std::uint64_t started_ms) {
    std::string head;
    char chunk[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
        int got = recv(client.get(), chunk, sizeof(chunk), 0);
        if (got <= 0) break;
        head.append(chunk, static_cast<size_t>(got));
    }
    const std::string answer = AnswerRequest(head, secret, GetTickCount64() - started_ms);
    send(client.get(), answer.data(), static_cast<int>(answer.size()), 0);
    shutdown(client.get(), SD_SEND);
}

}  // namespace

bool ReadApiSettings(const std::string& config, ApiSettings& out) {
    const std::string controller = "\"external_controller\":\"127.0.0.1:";
    size_t at = config.find(controller);
    if (at == std::string::npos) return false;
    long port = std::strtol(config.c_str() + at + controller.size(), nullptr, 10);
    const std::string secret_key = "\"secret\":\"";
    size_t secret_at = config.find(secret_key, at);
    if (port <= 0 || port > 65535 || secret_at == std::string::npos) return false;
    secret_at += secret_key.size();
    size_t secret_end = config.find('"', secret_at);
    if (secret_end == std::string::npos) return false;
    out.port = static_cast<unsigned short>(port);
    out.secret = config.substr(secret_at, secret_end - secret_at);
    return true;
}

std::string ConnectionsDocument(unsigned long long elapsed_ms) {
    std::uint64_t up_total = 0;
    std::uint64_t down_total = 0;
    std::string connections;
    for (const Flow& flow : kFlows) {
        const std::uint64_t up = 1200 + flow.up_per_s * elapsed_ms / 1000;
        const std::uint64_t down = 3400 + flow.down_per_s * elapsed_ms / 1000;
        up_total += up;
        down_total += down;
        if (!connections.empty()) connections += ",";
        connections += std::string("{\"id\":\"") + flow.id + "\",\"metadata\":{\"network\":\"" + flow.network +
                       "\",\"type\":\"tun\",\"sourceIP\":\"172.19.0.1\",\"destinationIP\":\"" + flow.destination +
                       "\",\"sourcePort\":\"50712\",\"destinationPort\":\"" + flow.port + "\",\"host\":\"" + flow.host +
                       "\",\"dnsMode\":\"normal\",\"processPath\":\"\"},\"upload\":" + std::to_string(up) +
                       ",\"download\":" + std::to_string(down) + ",\"start\":\"2025-01-01T00:00:00Z\",\"chains\":[\"" +
                       flow.chain + "\"],\"rule\":\"final\",\"rulePayload\":\"\"}";
    }
    return "{\"downloadTotal\":" + std::to_string(down_total) + ",\"uploadTotal\":" + std::to_string(up_total) +
           ",\"connections\":[" + connections + "],\"memory\":4194304}";
}

std::string AnswerRequest(const std::string& head, const std::string& secret, unsigned long long elapsed_ms) {
    if (HeaderValue(head, "Authorization") != "Bearer " + secret || secret.empty())
        return Response("401 Unauthorized", "{\"message\":\"Unauthorized\"}");
    if (head.rfind("GET /connections ", 0) != 0)
        return Response("404 Not Found", "{\"message\":\"Resource not found\"}");
    return Response("200 OK", ConnectionsDocument(elapsed_ms));
}

bool StartApiServer(const ApiSettings& settings, std::string& error) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = "winsock";
        return false;
    }
    SocketHandle listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(settings.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!listener.valid() || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener.get(), 8) != 0) {
        error = "listen 127.0.0.1:" + std::to_string(settings.port) + ": " + std::to_string(WSAGetLastError());
        return false;
    }
    const std::uint64_t started = GetTickCount64();
    std::thread([listener = std::move(listener), secret = settings.secret, started] {
        for (;;) {
            SocketHandle client(accept(listener.get(), nullptr, nullptr));
            if (!client.valid()) return;
            ServeClient(std::move(client), secret, started);
        }
    }).detach();
    return true;
}

}  // namespace vantorel::stand_in
