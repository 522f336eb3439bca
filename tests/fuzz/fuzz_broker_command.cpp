// ParseBrokerCommand on any bytes a pipe client can send.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "protocol/commands.h"
#include "protocol/json_scan.h"

using namespace vantorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    BrokerCommand cmd;
    cmd.uri = "left over";
    cmd.direct_domains = {"left.over"};
    std::string error = "left over";
    const bool ok = ParseBrokerCommand(text, cmd, error);
    FUZZ_CHECK(ok == error.empty(), "an error name exactly when the command is refused");
    if (!ok) return 0;
    // A reused record keeps nothing of the previous command.
    FUZZ_CHECK(cmd.uri != "left over" || text.find("left over") != std::string::npos, "stale uri");
    FUZZ_CHECK(!cmd.command.empty() || text.find("\"command\"") != std::string::npos, "command without its key");
    FUZZ_CHECK(text.find("\"outbounds\"") == std::string::npos && text.find("\"inbounds\"") == std::string::npos,
               "a command carrying an engine configuration was accepted");
    for (const auto* list : {&cmd.direct_domains, &cmd.force_proxy_domains}) {
        FUZZ_CHECK(list->size() <= kMaxDomainEntries, "domain list over its limit");
        for (const std::string& name : *list) {
            FUZZ_CHECK(IsValidDomainName(name), "an invalid domain name in a list");
            FUZZ_CHECK(text.find("\"" + name + "\"") != std::string::npos, "a domain name not in the text");
        }
    }
    FUZZ_CHECK(!cmd.direct_domains_truncated || cmd.direct_domains.size() == kMaxDomainEntries,
               "truncated before the list was full");
    // The reading depends on the text alone.
    BrokerCommand again;
    std::string again_error;
    FUZZ_CHECK(ParseBrokerCommand(text, again, again_error), "a second reading failed");
    FUZZ_CHECK(again.command == cmd.command && again.uri == cmd.uri && again.message == cmd.message &&
                   again.generation == cmd.generation && again.protocol_version == cmd.protocol_version &&
                   again.direct_domains == cmd.direct_domains && again.force_proxy_domains == cmd.force_proxy_domains &&
                   again.udp_direct == cmd.udp_direct,
               "two readings differ");
    return 0;
}
