#pragma once
// Command documents (controller to broker) and the command reader.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel {

inline constexpr std::uint32_t kProtocolVersion = 3;
inline constexpr std::size_t kMaxDomainEntries = 512;

struct BrokerCommand {
    std::string command;
    std::string uri;
    std::string message;
    std::uint32_t protocol_version = 0;
    std::uint64_t generation = 0;
    std::vector<std::string> direct_domains;
    bool direct_domains_truncated = false;
    std::vector<std::string> force_proxy_domains;
    bool udp_direct = false;
};

// Fills `cmd` from scratch; on failure `error` names the first failing part.
bool ParseBrokerCommand(const std::string& text, BrokerCommand& cmd, std::string& error);

// Fixed commands the controller sends.
inline constexpr const char kHelloCommand[] = "{\"command\":\"hello\",\"protocol_version\":3}";
inline constexpr const char kDisconnectCommand[] =
    "{\"command\":\"disconnect\",\"protocol_version\":3,\"generation\":0}";
std::string WriteProveCommand(long long generation, bool passed);

}  // namespace vantorel
