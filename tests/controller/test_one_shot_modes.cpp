#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "controller/controller_exit_codes.h"
#include "controller/one_shot_modes.h"
#include "controller_test_support.h"
#include "fake_broker_pipe.h"

namespace vantorel {
namespace {

using namespace testing_support;
using std::chrono::milliseconds;

const std::string kHello = "{\"command\":\"hello\",\"protocol_version\":3}";
const std::string kDisconnect = "{\"command\":\"disconnect\",\"protocol_version\":3,\"generation\":0}";

TEST(StatusMode, SendsHelloAndPrintsTheFirstFrameOnly) {
    FakeBrokerPipe pipe;
    pipe.Send(FrameBytes(StateEvent(0, "idle")) + FrameBytes(StateEvent(1, "connected")));
    CollectingSink out;
    EXPECT_EQ(RunStatusOver(pipe, out), kExitOk);
    EXPECT_EQ(pipe.writes(), std::vector<std::string>{FrameBytes(kHello)});
    EXPECT_EQ(out.lines(), std::vector<std::string>{StateEvent(0, "idle")});
}

TEST(StatusMode, JoinsAFrameSplitOverReads) {
    FakeBrokerPipe pipe;
    const std::string frame = FrameBytes(StateEvent(2, "connecting"));
    std::thread broker([&] {
        for (char byte : frame) {
            pipe.Send(std::string(1, byte));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    CollectingSink out;
    EXPECT_EQ(RunStatusOver(pipe, out), kExitOk);
    broker.join();
    EXPECT_EQ(out.lines(), std::vector<std::string>{StateEvent(2, "connecting")});
}

struct StatusFailure {
    const char* name;
    std::string received;
    bool fail_write;
    int exit_code;
};

class StatusModeFailure : public ::testing::TestWithParam<StatusFailure> {};

TEST_P(StatusModeFailure, EndsWithItsCodeAndPrintsNothing) {
    FakeBrokerPipe pipe;
    pipe.Send(GetParam().received);
    pipe.Hangup();
    if (GetParam().fail_write) pipe.FailWrites();
    CollectingSink out;
    EXPECT_EQ(RunStatusOver(pipe, out), GetParam().exit_code);
    EXPECT_TRUE(out.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Brokers, StatusModeFailure,
    ::testing::Values(StatusFailure{"closed_at_once", "", false, kExitReadFailed},
                      StatusFailure{"closed_mid_header", std::string("\x05\x00", 2), false, kExitReadFailed},
                      StatusFailure{"closed_mid_payload", FrameHeader(40) + "{\"event\"", false, kExitReadFailed},
                      StatusFailure{"oversized_frame", FrameHeader(65537) + "{}", false, kExitReadFailed},
                      StatusFailure{"write_refused", FrameBytes(StateEvent(0, "idle")), true, kExitWriteFailed}),
    [](const ::testing::TestParamInfo<StatusFailure>& info) { return std::string(info.param.name); });

TEST(DisconnectMode, AckAndStateInOneReadPrintBothAndStop) {
    FakeBrokerPipe pipe;
    pipe.Send(FrameBytes(AckEvent("disconnect", 6)) + FrameBytes(StateEvent(6, "disconnecting")) +
              FrameBytes(StateEvent(6, "idle")));
    CollectingSink out;
    EXPECT_EQ(RunDisconnectOver(pipe, out, milliseconds(2000)), kExitOk);
    EXPECT_EQ(pipe.writes(), std::vector<std::string>{FrameBytes(kDisconnect)});
    EXPECT_EQ(out.lines(), (std::vector<std::string>{AckEvent("disconnect", 6), StateEvent(6, "disconnecting")}));
}

TEST(DisconnectMode, WaitsForTheStateEventAcrossReads) {
    FakeBrokerPipe pipe;
    pipe.Send(FrameBytes(AckEvent("disconnect", 6)));
    std::thread broker([&] {
        std::this_thread::sleep_for(milliseconds(100));
        const std::string state = FrameBytes(StateEvent(6, "disconnecting"));
        pipe.Send(state.substr(0, 7));
        std::this_thread::sleep_for(milliseconds(50));
        pipe.Send(state.substr(7));
    });
    CollectingSink out;
    EXPECT_EQ(RunDisconnectOver(pipe, out, milliseconds(5000)), kExitOk);
    broker.join();
    EXPECT_EQ(out.lines(), (std::vector<std::string>{AckEvent("disconnect", 6), StateEvent(6, "disconnecting")}));
}

TEST(DisconnectMode, AckThenSilencePrintsTheTimeoutDocument) {
    FakeBrokerPipe pipe;
    pipe.Send(FrameBytes(AckEvent("disconnect", 6)));
    CollectingSink out;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunDisconnectOver(pipe, out, milliseconds(300)), kExitDisconnectFailed);
    EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(300));
    EXPECT_EQ(out.lines(), (std::vector<std::string>{AckEvent("disconnect", 6), kDisconnectTimeoutText}));
}

TEST(DisconnectMode, ReadsNoMoreThanOneChunkAtATime) {
    FakeBrokerPipe pipe;
    const std::string big_ack =
        "{\"event\":\"ack\",\"command\":\"disconnect\",\"accepted\":true,\"generation\":1,\"code\":null,\"message\":"
        "\"" +
        std::string(20000, 'x') + "\"}";
    pipe.Send(FrameBytes(big_ack) + FrameBytes(StateEvent(1, "disconnecting")));
    CollectingSink out;
    EXPECT_EQ(RunDisconnectOver(pipe, out, milliseconds(2000)), kExitOk);
    EXPECT_EQ(pipe.largest_read(), 8192u);
    EXPECT_EQ(out.lines(), (std::vector<std::string>{big_ack, StateEvent(1, "disconnecting")}));
}

struct DisconnectFailure {
    const char* name;
    std::string received;
    bool fail_write;
    int exit_code;
    std::size_t printed;
};

class DisconnectModeFailure : public ::testing::TestWithParam<DisconnectFailure> {};

TEST_P(DisconnectModeFailure, EndsWithItsCode) {
    FakeBrokerPipe pipe;
    pipe.Send(GetParam().received);
    pipe.Hangup();
    if (GetParam().fail_write) pipe.FailWrites();
    CollectingSink out;
    EXPECT_EQ(RunDisconnectOver(pipe, out, milliseconds(2000)), GetParam().exit_code);
    EXPECT_EQ(out.size(), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Brokers, DisconnectModeFailure,
    ::testing::Values(
        DisconnectFailure{"closed_at_once", "", false, kExitReadFailed, 0},
        DisconnectFailure{"closed_after_ack", FrameBytes(AckEvent("disconnect", 2)), false, kExitReadFailed, 1},
        DisconnectFailure{"oversized_frame", FrameHeader(70000) + "abc", false, kExitDisconnectFailed, 0},
        DisconnectFailure{"ack_then_oversized", FrameBytes(AckEvent("disconnect", 2)) + FrameHeader(65537), false,
                          kExitDisconnectFailed, 1},
        DisconnectFailure{"write_refused", FrameBytes(StateEvent(2, "idle")), true, kExitWriteFailed, 0}),
    [](const ::testing::TestParamInfo<DisconnectFailure>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantorel
