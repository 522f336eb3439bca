#pragma once
// Client side of the route agent's wire (tests/wine/route_agent): one loopback TCP connection,
// requests "verb key=value ..." answered by a Windows error number and records.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vantorel::route_shim {

// The file in which the agent of the test prefix's namespace writes "127.0.0.1:PORT". Services
// do not inherit the environment of the command that starts them, so the place is fixed.
inline constexpr const wchar_t kAgentAddressFile[] = L"C:\\vantorel-test\\route-agent.txt";

struct AgentRecord {
    std::string kind;
    std::map<std::string, std::string> fields;

    std::string text(const std::string& key) const;
    std::uint64_t number(const std::string& key) const;  // 0 when absent or not a number
};

struct AgentReply {
    std::uint32_t code = 0;
    std::vector<AgentRecord> records;
};

// "kind key=value key=value"; false for an empty line.
bool ParseAgentRecord(const std::string& line, AgentRecord& out);

class AgentLink {
public:
    AgentLink();  // connects at once; connected() tells whether it worked
    ~AgentLink();
    AgentLink(const AgentLink&) = delete;
    AgentLink& operator=(const AgentLink&) = delete;

    bool connected() const { return socket_ != kNoSocket; }
    // False when the agent could not be asked or its answer was cut off.
    bool request(const std::string& line, AgentReply& reply);

private:
    static constexpr std::uintptr_t kNoSocket = ~static_cast<std::uintptr_t>(0);
    bool read_line(std::string& line);

    std::uintptr_t socket_ = kNoSocket;
    bool winsock_started_ = false;
    std::string pending_;
};

}  // namespace vantorel::route_shim
