#include "broker/core/ipv6_capture_rule.h"

#include "broker/contracts/platform_services.h"

namespace vantorel {

// Quirk: docs/windows-quirks.md, "IPv6 off".
bool FailedOnlyForIpv6(const std::vector<CaptureRoute>& installed, std::uint32_t error) {
    if (error != win32_error::not_found && error != win32_error::not_supported) return false;
    return installed.size() == 2 && installed[0].destination == "0.0.0.0" && installed[1].destination == "128.0.0.0";
}

Ipv6CaptureOutcome DecideIpv6Capture(bool presence_known, bool ipv6_default_present) {
    if (!presence_known) return Ipv6CaptureOutcome::unknown;
    return ipv6_default_present ? Ipv6CaptureOutcome::would_leak : Ipv6CaptureOutcome::ipv4_only;
}

const char* Ipv6CaptureLogCode(Ipv6CaptureOutcome outcome) {
    switch (outcome) {
        case Ipv6CaptureOutcome::ipv4_only:
            return "ipv6_skipped";
        case Ipv6CaptureOutcome::would_leak:
            return "ipv6_would_leak";
        case Ipv6CaptureOutcome::unknown:
            return "ipv6_unknown";
    }
    return "ipv6_unknown";
}

}  // namespace vantorel
