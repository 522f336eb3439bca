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
    firewall_failed = 16,
};

enum class DisconnectReason : int { client_gone = 0, explicit_request = 1, service_stop = 2, suspend = 3, lost = 4 };

const char* SessionStateName(SessionState state);
const char* ErrorCodeName(ErrorCode code);
const char* DisconnectReasonName(DisconnectReason reason);
// The fixed user text of a code; for ErrorCode::none the detail itself.
std::string MessageForCode(ErrorCode code, const std::string& detail = std::string());

// User texts that are not a code's own: a session's end, a failed capture, and the documents the
// controller writes for itself.
extern const char kConnectionLostMessage[];
extern const char kNetworkChangedMessage[];
extern const char kCaptureFailedMessage[];
extern const char kBrokerBusyMessage[];
extern const char kBrokerUnavailableMessage[];
extern const char kCommandNotSentMessage[];

}  // namespace vantorel
