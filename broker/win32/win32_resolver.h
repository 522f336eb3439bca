#pragma once
// NameResolver over getaddrinfo, with a bounded wait. Windows only.

#include <cstdint>
#include <functional>
#include <string>

#include "broker/contracts/platform_services.h"
#include "common/win32/win_handle.h"

namespace vantorel {

// Shared by the caller and the lookup thread; whichever lets go last frees it, so a lookup
// that outlives the caller's wait still has somewhere to write.
struct ResolveJob {
    std::string host;
    std::string result;  // dotted IPv4, empty until found
    bool ok = false;
    WinHandle event;  // manual reset, signalled when the lookup ends
};

// The lookup runs on a thread nobody joins; the caller waits at most `wait_ms`. `lookup` returns
// the dotted address or "". Separate from the class so the time-out path can be exercised.
bool ResolveThroughJob(const std::string& host, std::string& ipv4_out,
                       std::function<std::string(const std::string&)> lookup, std::uint32_t wait_ms);

// First IPv4 answer of getaddrinfo, dotted; "" when there is none.
std::string LookupFirstIpv4(const std::string& host);

class Win32Resolver : public NameResolver {
public:
    static constexpr std::uint32_t kWaitMs = 8000;

    bool resolve_ipv4(const std::string& host, std::string& ipv4_out) override;
};

}  // namespace vantorel
