#include "protocol/commands.h"

#include "protocol/json_scan.h"

namespace vantorel {

namespace {

// No command ever carries an engine configuration, whichever field it would hide in.
bool CarriesEngineConfig(const std::string& text) {
    return text.find("\"outbounds\"") != std::string::npos || text.find("\"inbounds\"") != std::string::npos;
}

bool Fail(std::string& error, const char* name) {
    error = name;
    return false;
}

}  // namespace

bool ParseBrokerCommand(const std::string& text, BrokerCommand& cmd, std::string& error) {
    // Absent keys leave fields untouched, so a reused record would keep the previous
    // command's uri, message and lists.
    cmd = BrokerCommand();
    error.clear();
    if (CarriesEngineConfig(text)) return Fail(error, "config");

    bool present = false;
    if (!JsonFindString(text, "command", cmd.command, present) || !present) return Fail(error, "command");

    JsonFindString(text, "uri", cmd.uri, present);

    std::uint64_t version = 0;
    if (!JsonFindUnsigned(text, "protocol_version", version, present)) return Fail(error, "protocol_version");
    if (present) cmd.protocol_version = static_cast<std::uint32_t>(version);

    std::uint64_t generation = 0;
    if (!JsonFindUnsigned(text, "generation", generation, present)) return Fail(error, "generation");
    cmd.generation = generation;

    if (!JsonFindString(text, "message", cmd.message, present)) return Fail(error, "message");
    if (!present) cmd.message.clear();

    if (!JsonFindStringList(text, "direct_domains", IsValidDomainName, kMaxDomainEntries, cmd.direct_domains,
                            cmd.direct_domains_truncated, error)) {
        return false;
    }

    bool forceTruncated = false;
    if (!JsonFindStringList(text, "force_proxy_domains", IsValidDomainName, kMaxDomainEntries, cmd.force_proxy_domains,
                            forceTruncated, error)) {
        return false;
    }

    std::uint64_t udp = 0;
    if (!JsonFindUnsigned(text, "udp_direct", udp, present)) return Fail(error, "udp_direct");
    cmd.udp_direct = present && udp != 0;
    return true;
}

std::string WriteProveCommand(long long generation, bool passed) {
    std::string text = "{\"command\":\"prove\",\"protocol_version\":3,\"generation\":";
    text += std::to_string(generation);
    text += ",\"message\":\"";
    text += passed ? "ok" : "fail";
    text += "\"}";
    return text;
}

}  // namespace vantorel
