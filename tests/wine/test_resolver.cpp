// Win32Resolver and the shared lookup job. Only names the host file answers are looked
// up here, so nothing leaves the machine; unknown names are tried inside the test network
// namespace (test_probes_netns.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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
    EXPECT_FALSE(ResolveThroughJob("server.example", address, [](const std::string&) { return std::string(); }, 2000));
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

}  // namespace
}  // namespace vantorel
