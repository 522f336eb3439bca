#pragma once
// Enumerations shared by the pipe protocol and the tunnel core, with their wire names
// and the Russian user messages.

#include <string>

namespace vantorel {

enum class SessionState : int { idle = 0, connecting = 1, connected = 2, disconnecting = 3 };

enum class ErrorCode : int {
    none = 0,
    resolve_failed = 1,
    foreign_tunnel = 2,
    route_failed = 3,
    core_start_failed = 4,
    key_probe_failed = 5,
    tun_not_ready = 6,
    egress_failed = 7,
    core_exited = 8,
    tun_init_timeout = 9,
    egress_timeout = 10,
    auth_rejected = 11,
    invalid_profile = 12,
    cleanup_failed = 13,
    busy = 14,
    protocol = 15,
    invalid_link = 16,
    server_address_refused = 17,
    disk_full = 18,
    // A connect refused or ended because the service is stopping,
    // and one whose wait for the previous session's teardown ran out.
    service_stopping = 19,
    teardown_timeout = 20,
    engine_untrusted = 21,  // the engine or its folder can be changed by other users
    firewall_failed = 22,
};

enum class DisconnectReason : int { client_gone = 0, explicit_request = 1, service_stop = 2, suspend = 3, lost = 4 };

const char* SessionStateName(SessionState state);
const char* ErrorCodeName(ErrorCode code);
const char* DisconnectReasonName(DisconnectReason reason);
// The fixed user text of a code; for ErrorCode::none the detail itself.
std::string MessageForCode(ErrorCode code, const std::string& detail = std::string());
// The message of an invalid_link refusal: what is wrong with the link, by the parser's field word
// (see ParseServerProfile); the code's own text for a word it does not know.
std::string LinkRefusalMessage(const std::string& field);

// User texts that are not a code's own: a session's end, a failed capture, and the documents the
// controller writes for itself.
extern const char kConnectionLostMessage[];
extern const char kNetworkChangedMessage[];
extern const char kCaptureFailedMessage[];
extern const char kBrokerBusyMessage[];
extern const char kBrokerUnavailableMessage[];
extern const char kCommandNotSentMessage[];

}  // namespace vantorel
