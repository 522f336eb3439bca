// The Windows modes against a pipe server played by the test itself.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/win32/win_handle.h"
#include "controller/win32_broker_connection.h"
#include "controller/controller_exit_codes.h"
#include "controller/win32_controller_modes.h"
#include "controller/win32_stdin_source.h"
#include "controller_test_support.h"

namespace vantorel {
namespace {

using namespace testing_support;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

std::wstring UniquePipeName() {
    static int counter = 0;
    return L"\\\\.\\pipe\\VantorelCtlTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

WinHandle CreateServer(const std::wstring& name, DWORD instances = 1) {
    return WinHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                      instances, 65536, 65536, 0, nullptr));
}

WinHandle OpenClient(const std::wstring& name) {
    // Opened as the controller opens the broker's pipe: overlapped.
    return WinHandle(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
}

// The test's broker end of one connected pipe.
class TestBroker {
public:
    TestBroker() : name_(UniquePipeName()), server_(CreateServer(name_)) {
        client_ = OpenClient(name_);
        const BOOL connected = ConnectNamedPipe(server_.get(), nullptr);
        ok_ = server_.valid() && client_.valid() && (connected || GetLastError() == ERROR_PIPE_CONNECTED);
    }
    bool ok() const { return ok_; }
    WinHandle TakeClient() { return std::move(client_); }

    bool Send(const std::string& bytes) {
        DWORD written = 0;
        return WriteFile(server_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    // One whole frame's payload; false when the controller closed its end.
    bool ReceiveFrame(std::string& payload) {
        std::string header;
        if (!ReceiveExactly(4, header)) return false;
        const unsigned length = static_cast<unsigned char>(header[0]) | static_cast<unsigned char>(header[1]) << 8 |
                                static_cast<unsigned char>(header[2]) << 16 |
                                static_cast<unsigned>(static_cast<unsigned char>(header[3])) << 24;
        payload.clear();
        return ReceiveExactly(length, payload);
    }
    void Hangup() { server_.reset(); }

private:
    bool ReceiveExactly(std::size_t count, std::string& out) {
        while (out.size() < count) {
            char chunk[4096];
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof(chunk), count - out.size()));
            if (!ReadFile(server_.get(), chunk, want, &got, nullptr) || got == 0) return false;
            out.append(chunk, got);
        }
        return true;
    }

    std::wstring name_;
    WinHandle server_;
    WinHandle client_;
    bool ok_ = false;
};

TEST(Win32StatusMode, PrintsTheFirstFrameAndSendsHello) {
    TestBroker broker;
    ASSERT_TRUE(broker.ok());
    ASSERT_TRUE(broker.Send(FrameBytes(StateEvent(0, "idle")) + FrameBytes(StateEvent(7, "connected"))));
    CollectingSink out;
    EXPECT_EQ(RunStatus(broker.TakeClient(), out), kExitOk);
    std::string hello;
    ASSERT_TRUE(broker.ReceiveFrame(hello));
    EXPECT_EQ(hello, "{\"command\":\"hello\",\"protocol_version\":3}");
    EXPECT_EQ(out.lines(), Lines{StateEvent(0, "idle")});
    // The mode closed its end of the pipe.
    std::string more;
    EXPECT_FALSE(broker.ReceiveFrame(more));
}

TEST(Win32StatusMode, BrokerClosingAfterHelloEndsWithFour) {
    TestBroker broker;
    ASSERT_TRUE(broker.ok());
    std::thread server([&] {
        std::string hello;
        broker.ReceiveFrame(hello);
        broker.Hangup();
    });
    CollectingSink out;
    EXPECT_EQ(RunStatus(broker.TakeClient(), out), kExitReadFailed);
    server.join();
    EXPECT_TRUE(out.lines().empty());
}

TEST(Win32StatusMode, PipeAlreadyClosedFailsTheWriteWithThree) {
    TestBroker broker;
    ASSERT_TRUE(broker.ok());
    broker.Hangup();
    CollectingSink out;
    EXPECT_EQ(RunStatus(broker.TakeClient(), out), kExitWriteFailed);
    EXPECT_TRUE(out.lines().empty());
}

TEST(Win32DisconnectMode, AckAndStateInOneWritePrintBoth) {
    TestBroker broker;
    ASSERT_TRUE(broker.ok());
    ASSERT_TRUE(broker.Send(FrameBytes(AckEvent("disconnect", 4)) + FrameBytes(StateEvent(4, "disconnecting")) +
                            FrameBytes(StateEvent(4, "idle"))));
    CollectingSink out;
    EXPECT_EQ(RunDisconnect(broker.TakeClient(), out, milliseconds(5000)), kExitOk);
    std::string command;
    ASSERT_TRUE(broker.ReceiveFrame(command));
    EXPECT_EQ(command, "{\"command\":\"disconnect\",\"protocol_version\":3,\"generation\":0}");
    EXPECT_EQ(out.lines(), (Lines{AckEvent("disconnect", 4), StateEvent(4, "disconnecting")}));
}

TEST(Win32DisconnectMode, AckThenSilenceTimesOutWithFive) {
    TestBroker broker;
    ASSERT_TRUE(broker.ok());
    ASSERT_TRUE(broker.Send(FrameBytes(AckEvent("disconnect", 4))));
    CollectingSink out;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(RunDisconnect(broker.TakeClient(), out, milliseconds(400)), kExitDisconnectFailed);
    EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(400));
    EXPECT_EQ(out.lines(), (Lines{AckEvent("disconnect", 4), kDisconnectTimeoutText}));
}

TEST(Win32DisconnectMode, BrokerClosingAfterAckEndsWithFour) {
    TestBroker broker;
    ASSERT_TRUE(broker.ok());
    ASSERT_TRUE(broker.Send(FrameBytes(AckEvent("disconnect", 4))));
    std::thread server([&] {
        std::string command;
        broker.ReceiveFrame(command);
        std::this_thread::sleep_for(milliseconds(100));
        broker.Hangup();
    });
    CollectingSink out;
    EXPECT_EQ(RunDisconnect(broker.TakeClient(), out, milliseconds(5000)), kExitReadFailed);
    server.join();
    EXPECT_EQ(out.lines(), Lines{AckEvent("disconnect", 4)});
}

class Win32SessionMode : public ::testing::Test {
protected:
    void start() {
        ASSERT_TRUE(broker.ok());
        SessionIo io;
        io.input = input;
        io.out = &out;
        io.prove = [this] {
            ++proofs;
            return true;
        };
        relay = std::async(std::launch::async, [this, io]() mutable { return RunSession(broker.TakeClient(), io); });
    }
    void TearDown() override { input->End(); }

    TestBroker broker;
    CollectingSink out;
    std::shared_ptr<FedLineSource> input = std::make_shared<FedLineSource>();
    std::atomic<int> proofs{0};
    std::future<int> relay;
};

TEST_F(Win32SessionMode, RelaysCommandsAndProvesOncePerGeneration) {
    start();
    const std::string connect = kValidConnect + "\r";
    input->Feed("{\"command\":\"connect\"}");
    input->Feed(connect);
    std::string received;
    ASSERT_TRUE(broker.ReceiveFrame(received));
    EXPECT_EQ(received, connect);

    ASSERT_TRUE(broker.Send(FrameBytes(AckEvent("connect", 3)) + FrameBytes(TunReadyEvent(3))));
    ASSERT_TRUE(broker.ReceiveFrame(received));
    EXPECT_EQ(received, ProveText(3, "ok"));
    ASSERT_TRUE(broker.Send(FrameBytes(TunReadyEvent(3)) + FrameBytes(StateEvent(3, "connected"))));
    ASSERT_TRUE(WaitUntil([&] { return out.size() == 5; }));

    input->End();
    ASSERT_EQ(relay.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(relay.get(), kExitOk);
    EXPECT_EQ(proofs.load(), 1);
    EXPECT_EQ(out.lines(), (Lines{ClientErrorText("protocol"), AckEvent("connect", 3), TunReadyEvent(3),
                                  TunReadyEvent(3), StateEvent(3, "connected"), kBrokerClosedText}));
    // Nothing else was written, and the relay closed its end.
    EXPECT_FALSE(broker.ReceiveFrame(received));
}

TEST_F(Win32SessionMode, BrokerHangupEndsWithBrokerClosed) {
    start();
    ASSERT_TRUE(broker.Send(FrameBytes(StateEvent(1, "connecting"))));
    ASSERT_TRUE(WaitUntil([&] { return out.size() == 1; }));
    broker.Hangup();
    ASSERT_EQ(relay.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(relay.get(), kExitOk);
    EXPECT_EQ(out.lines(), (Lines{StateEvent(1, "connecting"), kBrokerClosedText}));
}

TEST(Win32ConnectToBroker, PipeNotServedByTheServiceIsUnavailableAtOnce) {
    const std::wstring name = UniquePipeName();
    WinHandle server = CreateServer(name);
    ASSERT_TRUE(server.valid());
    BrokerAddress address;
    address.pipe_name = name.c_str();
    address.service_name = L"VantorelCtlTestNoSuchService";
    const auto started = std::chrono::steady_clock::now();
    BrokerConnection connection = ConnectToBroker(address);
    EXPECT_EQ(GetLastError(), kWin32ServiceNotActive);
    EXPECT_EQ(connection.result, ConnectResult::unavailable);
    EXPECT_EQ(connection.win32, kWin32ServiceNotActive);
    EXPECT_FALSE(connection.pipe.valid());
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(1000));
}

TEST(Win32ConnectToBroker, PipeHeldByAnotherClientIsBusy) {
    const std::wstring name = UniquePipeName();
    WinHandle server = CreateServer(name);
    ASSERT_TRUE(server.valid());
    WinHandle other = OpenClient(name);
    ASSERT_TRUE(other.valid());
    BrokerAddress address;
    address.pipe_name = name.c_str();
    BrokerConnection connection = ConnectToBroker(address);
    EXPECT_EQ(GetLastError(), kWin32PipeBusy);
    EXPECT_EQ(connection.result, ConnectResult::busy);
    EXPECT_EQ(connection.win32, kWin32PipeBusy);
    EXPECT_FALSE(connection.pipe.valid());
}

TEST(Win32ConnectToBroker, NoPipeIsUnavailableAfterAboutTenSeconds) {
    BrokerAddress address;
    const std::wstring name = UniquePipeName();
    address.pipe_name = name.c_str();
    const auto started = std::chrono::steady_clock::now();
    BrokerConnection connection = ConnectToBroker(address);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(connection.result, ConnectResult::unavailable);
    EXPECT_EQ(connection.win32, kWin32FileNotFound);
    EXPECT_GE(elapsed, milliseconds(9000));
    EXPECT_LT(elapsed, milliseconds(20000));
}

TEST(Win32StdinLineSource, SplitsRawBytesAtLineFeedsOnly) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    WinHandle reader(read_end);
    WinHandle writer(write_end);
    const std::string text = "first\r\n\nsecond\n" + std::string(5000, 'x') + "\nlast";
    // Written from another thread in small pieces, as a user interface would.
    std::thread feeder([&] {
        for (std::size_t at = 0; at < text.size(); at += 700) {
            DWORD written = 0;
            const std::string piece = text.substr(at, 700);
            WriteFile(writer.get(), piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr);
        }
        writer.reset();
    });
    Win32StdinLineSource source(reader.get());
    Lines lines;
    std::string line;
    while (source.read_line(line)) lines.push_back(line);
    feeder.join();
    EXPECT_EQ(lines, (Lines{"first\r", "", "second", std::string(5000, 'x'), "last"}));
}

}  // namespace
}  // namespace vantorel
