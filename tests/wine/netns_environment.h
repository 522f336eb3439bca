#pragma once
// What run_netns_tests.sh tells the namespace tests through the environment: which
// topology is up ("main", "loopback", "tie", "onlink", "sole-loopback", "bare", "empty")
// and the Linux link indexes, which Wine reports as interface indexes.

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace vantorel::testing {

std::string NetnsPhase();
// The variable's value as a number; 0 when unset or not a number.
std::uint32_t NetnsNumber(const char* variable);
// LUID of an interface index, from the IP Helper's own conversion.
std::uint64_t LuidOfIndex(std::uint32_t index);

}  // namespace vantorel::testing

// Skips the test unless the namespace script set up `phase`.
#define REQUIRE_NETNS_PHASE(phase)                                                                   \
    do {                                                                                             \
        if (::vantorel::testing::NetnsPhase() != (phase))                                            \
            GTEST_SKIP() << "needs the '" << (phase) << "' network namespace of run_netns_tests.sh"; \
    } while (0)
