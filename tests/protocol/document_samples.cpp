// Prints, one per line, every event document the protocol's writers make, the way the broker
// and the controller use them: the schema test validates each against docs/schemas/.

#include <cstdio>
#include <string>
#include <vector>

#include "protocol/codes.h"
#include "protocol/events.h"

using namespace vantorel;

namespace {

void Print(const std::string& document) { std::printf("%s\n", document.c_str()); }

// Every code the broker can publish, with its own text, as the session core writes it.
std::vector<ErrorCode> AllCodes() {
    std::vector<ErrorCode> codes;
    for (int value = 1;; ++value) {
        const ErrorCode code = static_cast<ErrorCode>(value);
        if (std::string(ErrorCodeName(code)).empty()) break;
        codes.push_back(code);
    }
    return codes;
}

}  // namespace

int main() {
    for (SessionState state : {SessionState::idle, SessionState::connecting, SessionState::connected}) {
        const bool live = state != SessionState::idle;
        Print(WriteStateEvent(TunnelSnapshot{state, 7, ErrorCode::none, "", !live}));
    }
    Print(WriteStateEvent(TunnelSnapshot{SessionState::idle, 7, ErrorCode::none, kConnectionLostMessage, true}));
    Print(WriteStateEvent(TunnelSnapshot{SessionState::idle, 7, ErrorCode::none, kNetworkChangedMessage, true}));
    Print(WriteStateEvent(TunnelSnapshot{SessionState::idle, 7, ErrorCode::route_failed, kCaptureFailedMessage, true}));
    for (ErrorCode code : AllCodes()) {
        const SessionState state = code == ErrorCode::cleanup_failed ? SessionState::disconnecting : SessionState::idle;
        Print(WriteStateEvent(TunnelSnapshot{state, 7, code, MessageForCode(code), code != ErrorCode::cleanup_failed}));
        Print(WriteAckEvent("connect", false, 7, ErrorCodeName(code), MessageForCode(code)));
    }
    for (const char* command : {"connect", "disconnect", "prove"}) Print(WriteAckEvent(command, true, 7, "", ""));
    Print(WriteAckEvent("disconnect", false, 7, "generation", ""));
    Print(WriteAckEvent("prove", false, 7, "generation", ""));
    Print(WriteAckEvent("clear_log", true, 7, "cleared", ""));
    Print(WriteAckEvent("clear_log", false, 7, "blocked service.log.1 service.log", ""));
    Print(WriteAckEvent("clear_log", false, 7, "blocked service.log", ""));
    Print(WriteTunReadyEvent(7));
    Print(BrokerBusyDocument());
    Print(BrokerUnavailableDocument(2));
    Print(BrokerUnavailableDocument(1062));
    for (const char* error : {"command", "protocol_version", "generation", "message", "direct_domains",
                              "force_proxy_domains", "udp_direct", "config", "", "bad name"}) {
        Print(ClientErrorDocument(ClientErrorCode(error)));
    }
    Print(ClientErrorDocument("frame"));
    Print(BrokerClosedDocument());
    Print(DisconnectTimeoutDocument());
    return 0;
}
