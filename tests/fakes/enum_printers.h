#pragma once
// How GoogleTest prints the system's enums in a failure: by name ("connecting", not "1"), so a
// failing row says what it got in words. Found by argument-dependent lookup from any test that
// includes the fakes.

#include <ostream>

#include "broker/core/connect_sequence.h"
#include "broker/core/ipv6_capture_rule.h"
#include "broker/core/route_watch.h"
#include "broker/core/tunnel_controller.h"
#include "broker/engine/output_analysis.h"
#include "broker/portable/uplink_choice.h"
#include "protocol/codes.h"

namespace vantorel {

inline void PrintTo(SessionState state, std::ostream* out) { *out << SessionStateName(state); }
inline void PrintTo(ErrorCode code, std::ostream* out) { *out << ErrorCodeName(code); }
inline void PrintTo(Ipv6CaptureOutcome outcome, std::ostream* out) { *out << Ipv6CaptureLogCode(outcome); }
inline void PrintTo(ServerAddressVerdict verdict, std::ostream* out) { *out << ServerAddressVerdictName(verdict); }

inline void PrintTo(PhaseResult result, std::ostream* out) {
    *out << (result == PhaseResult::proceed ? "proceed" : result == PhaseResult::cancelled ? "cancelled" : "failed");
}

inline void PrintTo(RouteVerdict verdict, std::ostream* out) {
    *out << (verdict == RouteVerdict::intact         ? "intact"
             : verdict == RouteVerdict::capture_lost ? "capture_lost"
                                                     : "network_changed");
}

inline void PrintTo(ProofVerdict verdict, std::ostream* out) {
    *out << (verdict == ProofVerdict::none ? "none" : verdict == ProofVerdict::passed ? "passed" : "failed");
}

inline void PrintTo(ApiListener listener, std::ostream* out) {
    *out << (listener == ApiListener::pending     ? "pending"
             : listener == ApiListener::listening ? "listening"
                                                  : "listen_failed");
}

}  // namespace vantorel
