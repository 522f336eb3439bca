// The event outbox: what it keeps, when it drops, and the wake-up it gives the pipe thread.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "broker/service/event_outbox.h"

namespace vantorel {
namespace {

std::vector<std::string> Drain(EventOutbox& outbox) {
    std::vector<std::string> out;
    std::string document;
    while (outbox.take_front(document)) out.push_back(document);
    return out;
}

TEST(EventOutbox, DropsDocumentsWhileDetached) {
    EventOutbox outbox;
    int wakes = 0;
    outbox.set_wake([&] { ++wakes; });
    outbox.push("lost");
    EXPECT_EQ(outbox.size(), 0u);
    EXPECT_EQ(wakes, 0);
}

TEST(EventOutbox, KeepsOrderAndWakesOncePerPushWhileAttached) {
    EventOutbox outbox;
    int wakes = 0;
    outbox.set_wake([&] { ++wakes; });
    outbox.attach();
    outbox.push("one");
    outbox.push("two");
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(Drain(outbox), (std::vector<std::string>{"one", "two"}));
    std::string document = "untouched";
    EXPECT_FALSE(outbox.take_front(document));
    EXPECT_EQ(document, "untouched");
}

TEST(EventOutbox, AttachEmptiesWhatAnEarlierClientLeft) {
    EventOutbox outbox;
    outbox.attach();
    outbox.push("for the first client");
    outbox.detach();
    outbox.push("while nobody listens");
    EXPECT_EQ(outbox.size(), 1u);  // left over until the next attach
    outbox.attach();
    EXPECT_EQ(outbox.size(), 0u);
    outbox.push("for the second client");
    EXPECT_EQ(Drain(outbox), (std::vector<std::string>{"for the second client"}));
}

TEST(EventOutbox, NoWakeAfterItIsCleared) {
    EventOutbox outbox;
    int wakes = 0;
    outbox.attach();
    outbox.set_wake([&] { ++wakes; });
    outbox.clear_wake();
    outbox.push("queued anyway");
    EXPECT_EQ(wakes, 0);
    EXPECT_EQ(outbox.size(), 1u);
}

TEST(EventOutbox, WakeRunsOutsideTheLock) {
    EventOutbox outbox;
    outbox.attach();
    // A wake that touches the outbox would deadlock if it ran under the mutex.
    std::size_t seen = 0;
    outbox.set_wake([&] { seen = outbox.size(); });
    outbox.push("x");
    EXPECT_EQ(seen, 1u);
}

TEST(EventOutbox, ConcurrentPushesAreAllKept) {
    EventOutbox outbox;
    outbox.attach();
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&outbox, t] {
            for (int i = 0; i < 500; ++i) outbox.push(std::to_string(t) + ":" + std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    const auto all = Drain(outbox);
    ASSERT_EQ(all.size(), 2000u);
    // Each producer's documents stay in its own order.
    std::vector<int> next(4, 0);
    for (const auto& doc : all) {
        const int t = doc[0] - '0';
        EXPECT_EQ(doc.substr(2), std::to_string(next[static_cast<std::size_t>(t)]++));
    }
}

}  // namespace
}  // namespace vantorel
