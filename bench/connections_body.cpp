#include "bench/connections_body.h"

#include <cstdio>

namespace vantorel::bench {
namespace {

const char* const kHosts[] = {
    "www.example.com",  "cdn.example.net", "api.example.org", "", "mail.example.ru", "static.example.com", "",
    "video.example.net"};
const char* const kProcesses[] = {"C:\\\\Program Files\\\\Browser\\\\browser.exe",
                                  "C:\\\\Windows\\\\System32\\\\svchost.exe",
                                  "C:\\\\Users\\\\user\\\\AppData\\\\Local\\\\Chat\\\\chat.exe", ""};
const char* const kChains[] = {"proxy", "direct", "proxy", "proxy"};

void AppendConnection(std::string& out, std::size_t i, std::uint64_t round) {
    char id[40];
    std::snprintf(id, sizeof(id), "%08zx-4c1e-4b7a-9d2f-%012llx", i * 2654435761u % 0xffffffffu,
                  static_cast<unsigned long long>(i) * 7919ULL);
    const bool udp = i % 5 == 0;
    const std::uint64_t upload = (i % 97) * 1531 + round * (i % 13) * 211;
    const std::uint64_t download = (i % 89) * 40961 + round * (i % 7) * 8191;
    char numbers[512];
    std::snprintf(
        numbers, sizeof(numbers),
        "{\"id\":\"%s\",\"metadata\":{\"network\":\"%s\",\"type\":\"tun/tun-in\",\"sourceIP\":\"172.19.0.1\","
        "\"destinationIP\":\"93.184.%zu.%zu\",\"sourcePort\":\"%zu\",\"destinationPort\":\"%s\",\"host\":\"%s\","
        "\"dnsMode\":\"normal\",\"processPath\":\"%s\"},\"upload\":%llu,\"download\":%llu,"
        "\"start\":\"2026-12-08T10:%02zu:%02zu.123456789+03:00\",\"chains\":[\"%s\"],"
        "\"rule\":\"final\",\"rulePayload\":\"\"}",
        id, udp ? "udp" : "tcp", i % 251, (i / 251) % 251, 49152 + i % 16000, udp ? "53" : "443", kHosts[i % 8],
        kProcesses[i % 4], static_cast<unsigned long long>(upload), static_cast<unsigned long long>(download), i % 60,
        (i / 60) % 60, kChains[i % 4]);
    out += numbers;
}

std::string Wrap(const std::string& list) {
    return "{\"downloadTotal\":917504123,\"uploadTotal\":51234567,\"connections\":[" + list + "],\"memory\":41943040}";
}

}  // namespace

std::string ConnectionsBody(std::size_t connections, std::uint64_t round) {
    std::string list;
    list.reserve(connections * 420);
    for (std::size_t i = 0; i < connections; ++i) {
        if (i != 0) list += ',';
        AppendConnection(list, i, round);
    }
    return Wrap(list);
}

std::string ConnectionsBodyOfSize(std::size_t bytes) {
    std::string list;
    list.reserve(bytes + 512);
    for (std::size_t i = 0; list.size() + 80 < bytes; ++i) {
        if (i != 0) list += ',';
        AppendConnection(list, i, 0);
    }
    return Wrap(list);
}

}  // namespace vantorel::bench
