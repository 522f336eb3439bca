#include "tests/wine/stand_in_adapter.h"

#include <windows.h>

#include <cstdint>

#include "tests/wine/route_shim/agent_link.h"

namespace vantorel::stand_in {
namespace {

// The holder's identity as the route shim in the broker checks it: pid and creation time.
std::string HolderFields() {
    FILETIME creation{}, exit{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
    const std::uint64_t created = (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    return " pid=" + std::to_string(GetCurrentProcessId()) + " created=" + std::to_string(created);
}

}  // namespace

HeldAdapter::HeldAdapter() = default;
HeldAdapter::~HeldAdapter() = default;

bool HeldAdapter::acquire(std::string& error) {
    link_ = std::make_unique<route_shim::AgentLink>();
    if (!link_->connected()) {
        error = "route agent unreachable";
        return false;
    }
    route_shim::AgentReply reply;
    if (!link_->request("hold_adapter name=VantorelTun" + HolderFields(), reply)) {
        error = "route agent did not answer";
        return false;
    }
    if (reply.code != 0) {
        error = "route agent refused the adapter: " + std::to_string(reply.code);
        return false;
    }
    return true;
}

}  // namespace vantorel::stand_in
