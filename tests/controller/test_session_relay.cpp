#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "controller/session_relay.h"
#include "controller/stdin_reader.h"
#include "controller/stream_line_source.h"
#include "controller_test_support.h"
#include "fake_broker_pipe.h"

namespace vantorel {
namespace {

using namespace testing_support;
using Lines = std::vector<std::string>;

// Runs the relay on its own thread, as the main thread of the program would.
class RelayRun {
public:
    RelayRun() : input(std::make_shared<FedLineSource>()) {}

    void start() {
        SessionIo io;
        io.input = input;
        io.out = &out;
        io.prove = [this] {
            ++proofs;
            return verdict.load();
        };
        result = std::async(std::launch::async, [this, io] { return RunSessionOver(pipe, io); });
    }
    int Finish() { return FinishRelay(result, *input, pipe); }
    ~RelayRun() {
        // The reader is never joined by the relay; ending the input lets its thread finish.
        input->End();
    }

    FakeBrokerPipe pipe;
    CollectingSink out;
    std::shared_ptr<FedLineSource> input;
    std::atomic<int> proofs{0};
    std::atomic<bool> verdict{true};
    std::future<int> result;
};

TEST(SessionRelay, ForwardsAValidLineByteForByteAndEndsWithInput) {
    RelayRun run;
    run.start();
    const std::string line = kValidConnect + "\r";
    run.input->Feed(line);
    ASSERT_TRUE(WaitUntil([&] { return run.pipe.writes().size() == 1; }));
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.pipe.writes(), Lines{FrameBytes(line)});
    EXPECT_EQ(run.out.lines(), Lines{kBrokerClosedText});
    EXPECT_TRUE(run.pipe.closed());
}

TEST(SessionRelay, AnswersBadLinesLocallyAndGoesOn) {
    RelayRun run;
    run.start();
    run.input->Feed("{\"command\":\"connect\"}");
    run.input->Feed("");
    run.input->Feed("{\"command\":\"connect\",\"protocol_version\":3,\"udp_direct\":true}");
    run.input->Feed("{\"command\":\"hello\",\"protocol_version\":3,\"inbounds\":[]}");
    run.input->Feed("{\"command\":\"hello\",\"protocol_version\":3}");
    ASSERT_TRUE(WaitUntil([&] { return run.pipe.writes().size() == 1; }));
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.pipe.writes(), Lines{FrameBytes("{\"command\":\"hello\",\"protocol_version\":3}")});
    EXPECT_EQ(run.out.lines(), (Lines{ClientErrorText("protocol"), ClientErrorText("udp_direct"),
                                      ClientErrorText("config"), kBrokerClosedText}));
}

TEST(SessionRelay, PrintsEventsAsReceived) {
    RelayRun run;
    const std::string russian =
        "{\"event\":\"state\",\"generation\":2,\"state\":\"idle\",\"code\":\"core_exited\","
        "\"message\":\"Сбой локальной службы туннеля\",\"cleanup_verified\":true}";
    run.pipe.Send(FrameBytes(AckEvent("connect", 2)) + FrameBytes(russian) + FrameBytes(""));
    run.start();
    ASSERT_TRUE(WaitUntil([&] { return run.out.size() == 3; }));
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.out.lines(), (Lines{AckEvent("connect", 2), russian, "", kBrokerClosedText}));
}

TEST(SessionRelay, ProvesEachGenerationOnceAndAgainAfterIdle) {
    RelayRun run;
    run.start();
    run.pipe.Send(FrameBytes(TunReadyEvent(3)));
    ASSERT_TRUE(WaitUntil([&] { return run.pipe.writes().size() == 1; }));
    run.verdict = false;
    run.pipe.Send(FrameBytes(TunReadyEvent(3)));
    run.pipe.Send(FrameBytes(StateEvent(3, "connecting")));
    ASSERT_TRUE(WaitUntil([&] { return run.out.size() == 3; }));
    run.pipe.Send(FrameBytes(StateEvent(3, "idle")) + FrameBytes(TunReadyEvent(3)));
    ASSERT_TRUE(WaitUntil([&] { return run.pipe.writes().size() == 2; }));
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.proofs.load(), 2);
    EXPECT_EQ(run.pipe.writes(), (Lines{FrameBytes(ProveText(3, "ok")), FrameBytes(ProveText(3, "fail"))}));
    EXPECT_EQ(run.out.lines(), (Lines{TunReadyEvent(3), TunReadyEvent(3), StateEvent(3, "connecting"),
                                      StateEvent(3, "idle"), TunReadyEvent(3), kBrokerClosedText}));
}

TEST(SessionRelay, TunReadyWithoutUsableGenerationStartsNoCheck) {
    RelayRun run;
    const Lines events = {"{\"event\":\"tun_ready\",\"state\":\"connecting\"}",
                          "{\"event\":\"tun_ready\",\"generation\":0}", "{\"event\":\"tun_ready\",\"generation\":-3}",
                          "{\"event\":\"tun_ready\",\"generation\":99999999999999999999}"};
    for (const std::string& e : events) run.pipe.Send(FrameBytes(e));
    run.start();
    ASSERT_TRUE(WaitUntil([&] { return run.out.size() == events.size(); }));
    run.input->End();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.proofs.load(), 0);
    EXPECT_TRUE(run.pipe.writes().empty());
}

TEST(SessionRelay, BrokerClosingThePipeEndsWithBrokerClosedOnly) {
    RelayRun run;
    run.pipe.Send(FrameBytes(StateEvent(1, "connected")));
    run.pipe.Hangup();
    run.start();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.out.lines(), (Lines{StateEvent(1, "connected"), kBrokerClosedText}));
}

TEST(SessionRelay, OversizedFrameEndsTheRelay) {
    RelayRun run;
    run.pipe.Send(FrameBytes(StateEvent(1, "connected")) + FrameHeader(65537) + "xyz");
    run.start();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.out.lines(), (Lines{StateEvent(1, "connected"), kBrokerClosedText}));
}

TEST(SessionRelay, FailedForwardPrintsFrameErrorAndEnds) {
    RelayRun run;
    run.pipe.FailWrites();
    run.start();
    run.input->Feed(kValidConnect);
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.out.lines(), (Lines{ClientErrorText("frame"), kBrokerClosedText}));
}

TEST(SessionRelay, LineTooLongToFrameIsAFailedForward) {
    RelayRun run;
    run.start();
    run.input->Feed("{\"command\":\"hello\",\"protocol_version\":3,\"pad\":\"" + std::string(65536, 'p') + "\"}");
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_TRUE(run.pipe.writes().empty());
    EXPECT_EQ(run.out.lines(), (Lines{ClientErrorText("frame"), kBrokerClosedText}));
}

TEST(SessionRelay, FailedProveWriteEndsTheRelayAndSkipsLaterEvents) {
    RelayRun run;
    run.pipe.FailWritesAfter(0);
    run.pipe.Send(FrameBytes(TunReadyEvent(5)) + FrameBytes(StateEvent(5, "connected")));
    run.start();
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.proofs.load(), 1);
    EXPECT_EQ(run.out.lines(), (Lines{TunReadyEvent(5), kBrokerClosedText}));
}

// A user interface that writes its commands and closes standard input straight away.
TEST(SessionRelay, LinesReadBeforeTheEndOfInputAreStillForwarded) {
    FakeBrokerPipe pipe;
    CollectingSink out;
    auto text =
        std::make_shared<std::istringstream>("{\"command\":\"hello\",\"protocol_version\":3}\n" + kValidConnect + "\n");
    SessionIo io;
    io.out = &out;
    io.prove = [] { return true; };
    // The reader thread owns the source; keep the stream alive with it.
    struct Holder final : LineSource {
        std::shared_ptr<std::istringstream> stream;
        StreamLineSource source;
        explicit Holder(std::shared_ptr<std::istringstream> s) : stream(std::move(s)), source(*stream) {}
        bool read_line(std::string& line) override { return source.read_line(line); }
    };
    io.input = std::make_shared<Holder>(text);
    EXPECT_EQ(RunSessionOver(pipe, io), 0);
    EXPECT_EQ(pipe.writes(),
              (Lines{FrameBytes("{\"command\":\"hello\",\"protocol_version\":3}"), FrameBytes(kValidConnect)}));
    EXPECT_EQ(out.lines(), Lines{kBrokerClosedText});
}

TEST(StdinReader, QueuesNonEmptyLinesKeepingCarriageReturns) {
    std::istringstream text("first\r\n\n\nsecond\n\r\nlast without feed");
    StreamLineSource source(text);
    RelayInput input;
    StdinReader::run(input, source);
    EXPECT_FALSE(input.open.load());
    Lines taken;
    std::string line;
    while (input.take_line(line)) taken.push_back(line);
    EXPECT_EQ(taken, (Lines{"first\r", "second", "\r", "last without feed"}));
}

TEST(StdinReader, EmptyInputOnlyClosesTheQueue) {
    std::istringstream text("");
    StreamLineSource source(text);
    RelayInput input;
    StdinReader::run(input, source);
    EXPECT_FALSE(input.open.load());
    EXPECT_FALSE(input.has_lines());
}

}  // namespace
}  // namespace vantorel
