#include "tests/wine/route_shim/agent_link.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "common/win32/win_handle.h"

namespace vantorel::route_shim {
namespace {

constexpr DWORD kReplyTimeoutMs = 10000;

bool ReadAgentPort(unsigned short& port) {
    WinHandle file(CreateFileW(kAgentAddressFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char text[64] = {};
    DWORD got = 0;
    if (!ReadFile(file.get(), text, sizeof(text) - 1, &got, nullptr)) return false;
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) return false;
    long value = std::strtol(colon + 1, nullptr, 10);
    if (value <= 0 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

}  // namespace

std::string AgentRecord::text(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

std::uint64_t AgentRecord::number(const std::string& key) const {
    const std::string value = text(key);
    if (value.empty()) return 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(value.c_str(), &end, 10);
    return *end == '\0' ? parsed : 0;
}

bool ParseAgentRecord(const std::string& line, AgentRecord& out) {
    out = AgentRecord{};
    size_t start = 0;
    bool first = true;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        const std::string word = line.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (first) {
            out.kind = word;
            first = false;
            continue;
        }
        const size_t equals = word.find('=');
        if (equals == std::string::npos) {
            out.fields[word] = std::string();
        } else {
            out.fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return !first;
}

AgentLink::AgentLink() {
    unsigned short port = 0;
    if (!ReadAgentPort(port)) return;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    winsock_started_ = true;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    sockaddr_in agent{};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(port);
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    DWORD timeout = kReplyTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    if (connect(s, reinterpret_cast<const sockaddr*>(&agent), sizeof(agent)) != 0) {
        closesocket(s);
        return;
    }
    socket_ = static_cast<std::uintptr_t>(s);
}

AgentLink::~AgentLink() {
    if (connected()) closesocket(static_cast<SOCKET>(socket_));
    if (winsock_started_) WSACleanup();
}

bool AgentLink::read_line(std::string& line) {
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        char chunk[4096];
        int got = recv(static_cast<SOCKET>(socket_), chunk, sizeof(chunk), 0);
        if (got <= 0) return false;
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

bool AgentLink::request(const std::string& line, AgentReply& reply) {
    reply = AgentReply{};
    if (!connected()) return false;
    const std::string wire = line + "\n";
    size_t sent = 0;
    while (sent < wire.size()) {
        int n = send(static_cast<SOCKET>(socket_), wire.data() + sent, static_cast<int>(wire.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    std::string text;
    if (!read_line(text)) return false;
    reply.code = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    for (;;) {
        if (!read_line(text)) return false;
        if (text.empty()) return true;
        AgentRecord record;
        if (ParseAgentRecord(text, record)) reply.records.push_back(record);
    }
}

}  // namespace vantorel::route_shim
