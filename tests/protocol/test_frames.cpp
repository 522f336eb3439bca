#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frames.h"

namespace vantorel {
namespace {

std::string Header(unsigned b0, unsigned b1, unsigned b2, unsigned b3) {
    return std::string{static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b2), static_cast<char>(b3)};
}

struct EncodeCase {
    std::size_t length;
    std::string header;  // empty when no frame may be made
};

class EncodeFrameTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeFrameTable, WritesLittleEndianLengthThenPayload) {
    const auto& c = GetParam();
    std::string payload(c.length, 'p');
    if (!payload.empty()) payload.back() = '\0';
    const std::string frame = EncodeFrame(payload);
    if (c.header.empty()) {
        EXPECT_TRUE(frame.empty());
        return;
    }
    ASSERT_EQ(frame.size(), 4 + c.length);
    EXPECT_EQ(frame.substr(0, 4), c.header);
    EXPECT_EQ(frame.substr(4), payload);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncodeFrameTable,
                         ::testing::Values(EncodeCase{0, Header(0, 0, 0, 0)}, EncodeCase{1, Header(1, 0, 0, 0)},
                                           EncodeCase{255, Header(0xFF, 0, 0, 0)}, EncodeCase{258, Header(2, 1, 0, 0)},
                                           EncodeCase{65535, Header(0xFF, 0xFF, 0, 0)},
                                           EncodeCase{65536, Header(0, 0, 1, 0)}, EncodeCase{65537, ""},
                                           EncodeCase{200000, ""}));

TEST(ExtractFrame, ThreeBytesOrFewerWait) {
    for (std::size_t size = 0; size <= 3; ++size) {
        std::string buffer(size, '\xff');
        std::string payload = "old";
        std::string error = "stale";
        EXPECT_FALSE(ExtractFrame(buffer, payload, error));
        EXPECT_TRUE(error.empty());
        EXPECT_EQ(buffer.size(), size);
    }
}

TEST(ExtractFrame, LengthFieldAloneWaitsAndKeepsIt) {
    std::string buffer = Header(5, 0, 0, 0);
    std::string payload;
    std::string error;
    EXPECT_FALSE(ExtractFrame(buffer, payload, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(buffer, Header(5, 0, 0, 0));
    buffer += "hello";
    EXPECT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(payload, "hello");
    EXPECT_TRUE(buffer.empty());
}

TEST(ExtractFrame, PartialPayloadWaitsUntilComplete) {
    std::string buffer = Header(10, 0, 0, 0) + "012345";
    std::string payload;
    std::string error;
    EXPECT_FALSE(ExtractFrame(buffer, payload, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(buffer.size(), 10u);
    buffer += "6789";
    EXPECT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(payload, "0123456789");
    EXPECT_TRUE(buffer.empty());
}

TEST(ExtractFrame, TwoWholeFramesComeOutInOrder) {
    std::string buffer = EncodeFrame("first") + EncodeFrame("second") + "\x03";
    std::string payload;
    std::string error;
    ASSERT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(payload, "first");
    ASSERT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(payload, "second");
    EXPECT_FALSE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(buffer, "\x03");
}

TEST(ExtractFrame, ZeroLengthFrameGivesEmptyPayload) {
    std::string buffer = EncodeFrame("");
    std::string payload = "old";
    std::string error;
    ASSERT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_TRUE(payload.empty());
    EXPECT_TRUE(buffer.empty());
}

TEST(ExtractFrame, LargestPayloadIsAccepted) {
    const std::string big(kMaxFramePayload, 'z');
    std::string buffer = EncodeFrame(big);
    ASSERT_EQ(buffer.size(), kMaxFrameBytes);
    std::string payload;
    std::string error;
    ASSERT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(payload, big);
    EXPECT_TRUE(error.empty());
}

TEST(ExtractFrame, OversizedLengthEmptiesTheBuffer) {
    for (const std::string& header :
         {Header(1, 0, 1, 0), Header(0, 0, 2, 0), Header(0xFF, 0xFF, 0xFF, 0xFF), Header(0, 0, 0, 1)}) {
        std::string buffer = header + std::string(70000, 'x');
        std::string payload = "old";
        std::string error;
        EXPECT_FALSE(ExtractFrame(buffer, payload, error));
        EXPECT_EQ(error, "frame");
        EXPECT_TRUE(buffer.empty());
        EXPECT_EQ(payload, "old");
    }
}

TEST(ExtractFrame, GoodFrameBeforeABadLengthIsStillDelivered) {
    std::string buffer = EncodeFrame("ok") + Header(1, 0, 1, 0);
    std::string payload;
    std::string error;
    ASSERT_TRUE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(payload, "ok");
    EXPECT_FALSE(ExtractFrame(buffer, payload, error));
    EXPECT_EQ(error, "frame");
}

std::vector<std::string> SamplePayloads() {
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    return {"{\"command\":\"hello\",\"protocol_version\":3}", "", binary, std::string(300, 'q'), "Узел", "x"};
}

std::vector<std::string> DrainFrames(std::string& buffer) {
    std::vector<std::string> out;
    std::string payload;
    std::string error;
    while (ExtractFrame(buffer, payload, error)) out.push_back(payload);
    EXPECT_TRUE(error.empty());
    return out;
}

TEST(ExtractFrame, StreamSplitAtEveryByteBoundaryYieldsTheSameFrames) {
    const auto payloads = SamplePayloads();
    std::string stream;
    for (const auto& p : payloads) stream += EncodeFrame(p);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        std::string buffer = stream.substr(0, cut);
        auto got = DrainFrames(buffer);
        buffer += stream.substr(cut);
        const auto rest = DrainFrames(buffer);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, payloads) << "cut at " << cut;
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(ExtractFrame, ByteByByteDeliveryYieldsTheSameFrames) {
    const auto payloads = SamplePayloads();
    std::string stream;
    for (const auto& p : payloads) stream += EncodeFrame(p);
    std::string buffer;
    std::vector<std::string> got;
    for (char ch : stream) {
        buffer += ch;
        const auto some = DrainFrames(buffer);
        got.insert(got.end(), some.begin(), some.end());
    }
    EXPECT_EQ(got, payloads);
    EXPECT_TRUE(buffer.empty());
}

}  // namespace
}  // namespace vantorel
