#include "protocol/events.h"

#include "protocol/json_writer.h"

namespace vantorel {

namespace {

const char* Bool(bool value) { return value ? "true" : "false"; }

bool IsCodeByte(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
}

}  // namespace

std::string WriteAckEvent(const std::string& command, bool accepted, long long generation, const std::string& code,
                          const std::string& message) {
    std::string text = "{\"event\":\"ack\",\"command\":\"";
    text += JsonEscape(command);
    text += "\",\"accepted\":";
    text += Bool(accepted);
    text += ",\"generation\":";
    text += std::to_string(generation);
    text += ",\"code\":";
    text += JsonQuoteOrNull(code);
    text += ",\"message\":";
    text += JsonQuoteOrNull(message);
    text += "}";
    return text;
}

std::string WriteStateEvent(const TunnelSnapshot& snapshot) {
    std::string text = "{\"event\":\"state\",\"generation\":";
    text += std::to_string(snapshot.generation);
    text += ",\"state\":\"";
    text += JsonEscape(SessionStateName(snapshot.state));
    text += "\",\"code\":";
    text += JsonQuoteOrNull(ErrorCodeName(snapshot.code));
    text += ",\"message\":";
    text += JsonQuoteOrNull(snapshot.message);
    text += ",\"cleanup_verified\":";
    text += Bool(snapshot.cleanup_verified);
    text += "}";
    return text;
}

std::string WriteTunReadyEvent(long long generation) {
    std::string text = "{\"event\":\"tun_ready\",\"generation\":";
    text += std::to_string(generation);
    text += ",\"state\":\"connecting\",\"code\":null,\"message\":null,\"cleanup_verified\":false}";
    return text;
}

std::string BrokerBusyDocument() {
    std::string text =
        "{\"event\":\"state\",\"generation\":0,\"state\":\"idle\",\"code\":\"broker_busy\",\"message\":\"";
    text += kBrokerBusyMessage;
    text += "\",\"cleanup_verified\":true,\"win32\":231}";
    return text;
}

std::string BrokerUnavailableDocument(std::uint32_t win32) {
    std::string text =
        "{\"event\":\"state\",\"generation\":0,\"state\":\"idle\",\"code\":\"broker_unavailable\",\"message\":\"";
    text += kBrokerUnavailableMessage;
    text += "\",\"cleanup_verified\":true,\"win32\":";
    text += std::to_string(win32);
    text += "}";
    return text;
}

std::string ClientErrorDocument(const std::string& code) {
    // Callers pass ClientErrorCode's result or "frame"; escaping keeps any other text well-formed.
    std::string text = "{\"event\":\"client_error\",\"generation\":0,\"state\":\"\",\"code\":\"";
    text += JsonEscape(code);
    text += "\",\"message\":\"";
    text += kCommandNotSentMessage;
    text += "\",\"cleanup_verified\":true}";
    return text;
}

std::string BrokerClosedDocument() {
    return "{\"event\":\"broker_closed\",\"generation\":0,\"state\":\"\",\"code\":\"broker_unavailable\","
           "\"message\":null}";
}

std::string DisconnectTimeoutDocument() {
    return "{\"event\":\"state\",\"generation\":0,\"state\":\"disconnecting\",\"code\":\"disconnect_timeout\","
           "\"message\":null,\"cleanup_verified\":false}";
}

std::string ClientErrorCode(const std::string& parser_error) {
    if (parser_error.empty()) return "protocol";
    for (char ch : parser_error) {
        if (!IsCodeByte(ch)) return "protocol";
    }
    return parser_error;
}

}  // namespace vantorel
