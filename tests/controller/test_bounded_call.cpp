// A blocking call waited for at most a given time.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "controller/bounded_call.h"

namespace vantorel {
namespace {

using std::chrono::milliseconds;

TEST(CallWithin, GivesTheResultOfACallThatEndsInTime) {
    const std::optional<std::string> result =
        CallWithin<std::string>([] { return std::string("192.0.2.1"); }, milliseconds(5000));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "192.0.2.1");
}

TEST(CallWithin, GivesUpOnACallThatOverrunsAndLetsItFinishLater) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // Owned with the thread, which outlives this test's frame.
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> finished_future = finished->get_future();
    const auto started = std::chrono::steady_clock::now();
    const std::optional<int> result = CallWithin<int>(
        [released, finished] {
            released.wait();
            finished->set_value();
            return 7;
        },
        milliseconds(30));
    EXPECT_FALSE(result.has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(30));
    // The overrunning call still ends cleanly once it is let go.
    release.set_value();
    EXPECT_EQ(finished_future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace vantorel
