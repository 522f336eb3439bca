// Win32Resolver and the shared lookup job. Only names the host file answers are looked
// up here, so nothing leaves the machine; unknown names are tried inside the test network
// namespace (test_probes_netns.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "broker/win32/win32_resolver.h"

namespace vantorel {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Win32Resolver, LocalhostIsLoopback) {
    Win32Resolver resolver;
    std::string address = "unchanged";
    ASSERT_TRUE(resolver.resolve_ipv4("localhost", address));
    EXPECT_EQ(address, "127.0.0.1");
}

TEST(Win32Resolver, EmptyHostFailsWithoutTouchingTheOutput) {
    Win32Resolver resolver;
    std::string address = "unchanged";
    EXPECT_FALSE(resolver.resolve_ipv4("", address));
    EXPECT_EQ(address, "unchanged");
}

TEST(Win32Resolver, DottedTextResolvesToItself) {
    Win32Resolver resolver;
    std::string address;
    ASSERT_TRUE(resolver.resolve_ipv4("192.0.2.44", address));
    EXPECT_EQ(address, "192.0.2.44");
}

TEST(ResolveThroughJob, AnswerOfTheLookupIsReturned) {
    std::string seen_host;
    std::string address;
    ASSERT_TRUE(ResolveThroughJob(
        "server.example", address,
        [&seen_host](const std::string& host) {
            seen_host = host;
            return std::string("198.51.100.3");
        },
        2000));
    EXPECT_EQ(address, "198.51.100.3");
    EXPECT_EQ(seen_host, "server.example");
}

TEST(ResolveThroughJob, NoAnswerFails) {
    std::string address = "unchanged";
    EXPECT_FALSE(ResolveThroughJob(
        "server.example", address, [](const std::string&) { return std::string(); }, 2000));
    EXPECT_EQ(address, "unchanged");
}

TEST(ResolveThroughJob, SlowLookupIsAbandonedAndItsLateAnswerDiscarded) {
    auto witness = std::make_shared<int>(0);
    std::weak_ptr<int> watch = witness;
    std::string address = "unchanged";
    auto started = Clock::now();
    bool ok = ResolveThroughJob(
        "slow.example", address,
        [witness](const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(900));
            return std::string("203.0.113.5");
        },
        200);
    auto waited = Clock::now() - started;
    witness.reset();
    EXPECT_FALSE(ok);
    EXPECT_LT(waited, std::chrono::milliseconds(800));
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    // The lookup thread still owns the job; when it ends, everything it held is freed.
    EXPECT_FALSE(watch.expired());
    for (int i = 0; i < 100 && !watch.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(address, "unchanged");
}

// Lookups that end before their starter has let go of the thread: each still gives its own
// answer (a detached std::thread threw there under winpthreads and the answer was lost).
struct InstantLookupCase {
    const char* name;
    const char* answer;
    bool ok;
};

class InstantLookups : public ::testing::TestWithParam<InstantLookupCase> {};

TEST_P(InstantLookups, EveryOneOfManyGivesItsAnswer) {
    const InstantLookupCase& c = GetParam();
    int right = 0;
    for (int i = 0; i < 300; ++i) {
        std::string address = "unchanged";
        const bool ok = ResolveThroughJob(
            "server.example", address, [&c](const std::string&) { return std::string(c.answer); }, 5000);
        if (ok == c.ok && address == (c.ok ? std::string(c.answer) : std::string("unchanged"))) ++right;
    }
    EXPECT_EQ(right, 300);
}

INSTANTIATE_TEST_SUITE_P(Cases, InstantLookups,
                         ::testing::Values(InstantLookupCase{"answer", "192.0.2.7", true},
                                           InstantLookupCase{"no_answer", "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantorel
