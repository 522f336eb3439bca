#include "tests/wine/netns_environment.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstdlib>

namespace vantorel::testing {

std::string NetnsPhase() {
    const char* phase = std::getenv("VANTOREL_NETNS_PHASE");
    return phase != nullptr ? phase : "";
}

std::uint32_t NetnsNumber(const char* variable) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' ? static_cast<std::uint32_t>(value) : 0;
}

std::uint64_t LuidOfIndex(std::uint32_t index) {
    NET_LUID luid{};
    if (ConvertInterfaceIndexToLuid(index, &luid) != NO_ERROR) return 0;
    return luid.Value;
}

}  // namespace vantorel::testing
