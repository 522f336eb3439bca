// The client session's receive buffer: whole frames out, never more than one largest frame in.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "broker/service/receive_buffer.h"
#include "protocol/frames.h"

namespace vantorel {
namespace {

std::string Header(std::uint32_t length) {
    std::string h(4, '\0');
    for (int i = 0; i < 4; ++i) h[static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return h;
}

// Feeds `stream` the way the session reads it: at most next_read_size() bytes at a time.
std::vector<std::string> Feed(ReceiveBuffer& buffer, const std::string& stream, bool& ok) {
    std::vector<std::string> frames;
    std::size_t at = 0;
    ok = true;
    while (at < stream.size() && ok) {
        const std::size_t want = buffer.next_read_size();
        EXPECT_GT(want, 0u);
        if (want == 0) break;
        const std::size_t n = std::min(want, stream.size() - at);
        EXPECT_TRUE(buffer.append(stream.data() + at, n));
        EXPECT_LE(buffer.size(), ReceiveBuffer::kCapacity);
        at += n;
        ok = buffer.take_frames([&](const std::string& payload) { frames.push_back(payload); });
    }
    return frames;
}

TEST(ReceiveBuffer, ReadsAreFourKilobytesWhileThereIsRoom) {
    ReceiveBuffer buffer;
    EXPECT_EQ(buffer.next_read_size(), 4096u);
}

TEST(ReceiveBuffer, LargestFrameFollowedByAnotherArrivesWhole) {
    const std::string big(kMaxFramePayload, 'x');
    const std::string stream = EncodeFrame(big) + EncodeFrame("{\"command\":\"hello\"}");
    ReceiveBuffer buffer;
    bool ok = false;
    const auto frames = Feed(buffer, stream, ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], big);
    EXPECT_EQ(frames[1], "{\"command\":\"hello\"}");
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(ReceiveBuffer, TheReadNearlyCompletingALargestFrameIsShortened) {
    ReceiveBuffer buffer;
    // Header and all but 100 payload bytes of a largest frame.
    const std::string partial = Header(kMaxFramePayload) + std::string(kMaxFramePayload - 100, 'y');
    ASSERT_TRUE(buffer.append(partial.data(), partial.size()));
    EXPECT_EQ(buffer.next_read_size(), 100u);
    EXPECT_FALSE(buffer.append(std::string(101, 'z').data(), 101));
    EXPECT_EQ(buffer.size(), partial.size());
}

TEST(ReceiveBuffer, ManySmallFramesInOneReadComeOutInOrder) {
    std::string stream;
    for (int i = 0; i < 30; ++i) stream += EncodeFrame("doc" + std::to_string(i));
    stream += EncodeFrame("");
    ReceiveBuffer buffer;
    bool ok = false;
    const auto frames = Feed(buffer, stream, ok);
    ASSERT_EQ(frames.size(), 31u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(frames[static_cast<std::size_t>(i)], "doc" + std::to_string(i));
    EXPECT_EQ(frames[30], "");
}

TEST(ReceiveBuffer, OversizedAnnouncementEndsTheConnection) {
    const std::string stream = EncodeFrame("before") + Header(kMaxFramePayload + 1) + "rest";
    ReceiveBuffer buffer;
    bool ok = true;
    const auto frames = Feed(buffer, stream, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(frames, (std::vector<std::string>{"before"}));
}

TEST(ReceiveBuffer, SplitHeaderWaitsForTheRest) {
    ReceiveBuffer buffer;
    const std::string frame = EncodeFrame("0123456789");
    std::vector<std::string> frames;
    auto take = [&] { return buffer.take_frames([&](const std::string& p) { frames.push_back(p); }); };
    ASSERT_TRUE(buffer.append(frame.data(), 3));
    EXPECT_TRUE(take());
    ASSERT_TRUE(buffer.append(frame.data() + 3, 7));
    EXPECT_TRUE(take());
    EXPECT_TRUE(frames.empty());
    ASSERT_TRUE(buffer.append(frame.data() + 10, frame.size() - 10));
    EXPECT_TRUE(take());
    EXPECT_EQ(frames, (std::vector<std::string>{"0123456789"}));
}

}  // namespace
}  // namespace vantorel
