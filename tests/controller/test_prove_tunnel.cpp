// ProveTunnel against an HTTP server on loopback played by the test.

#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "controller/win32_prove_tunnel.h"

namespace vantorel {
namespace {

using std::chrono::milliseconds;

class WinsockUser : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

// Listens on 127.0.0.1 at a free port and answers one connection with the given chunks,
// a pause between them; then keeps the connection open for `linger` before closing.
class LoopbackHttpServer {
public:
    LoopbackHttpServer(std::vector<std::string> chunks, milliseconds linger)
        : chunks_(std::move(chunks)), linger_(linger) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int length = sizeof(address);
        ok_ = listener_ != INVALID_SOCKET && bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              listen(listener_, 1) == 0 && getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port_ = ntohs(address.sin_port);
        if (ok_) worker_ = std::thread([this] { Serve(); });
    }
    ~LoopbackHttpServer() {
        if (worker_.joinable()) worker_.join();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
    }
    bool ok() const { return ok_; }
    std::string port() const { return std::to_string(port_); }
    // What the client sent, once the connection has ended.
    std::string request() {
        if (worker_.joinable()) worker_.join();
        return request_;
    }

private:
    void Serve() {
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        ReadRequest(client);
        for (std::size_t i = 0; i < chunks_.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(milliseconds(200));
            send(client, chunks_[i].data(), static_cast<int>(chunks_[i].size()), 0);
        }
        std::this_thread::sleep_for(linger_);
        closesocket(client);
    }
    void ReadRequest(SOCKET client) {
        char chunk[256];
        while (request_.find("\r\n\r\n") == std::string::npos) {
            const int got = recv(client, chunk, sizeof(chunk), 0);
            if (got <= 0) return;
            request_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    std::vector<std::string> chunks_;
    milliseconds linger_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    bool ok_ = false;
    std::thread worker_;
    std::string request_;
};

struct AnswerCase {
    const char* name;
    std::vector<std::string> chunks;
    bool proven;
};

class ProveTunnelAnswer : public WinsockUser, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ProveTunnelAnswer, IsProvenOnlyByA204StatusLine) {
    LoopbackHttpServer server(GetParam().chunks, milliseconds(50));
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(ProveTunnel("127.0.0.1", server.port()), GetParam().proven);
    EXPECT_EQ(server.request(), "GET /generate_204 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ProveTunnelAnswer,
    ::testing::Values(AnswerCase{"no_content", {"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n"}, true},
                      AnswerCase{"ok_200", {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"}, false},
                      AnswerCase{"status_line_in_two_pieces", {"HTTP/1.1 2", "04 No Content\r\n\r\n"}, true},
                      AnswerCase{"http_1_0_204_without_line_end", {"HTTP/1.0 204"}, true},
                      AnswerCase{
                          "204_only_after_the_status_line", {"HTTP/1.1 200 OK\r\n", "X-Note: 204\r\n\r\n"}, false},
                      AnswerCase{"redirect", {"HTTP/1.1 302 Found\r\nLocation: http://portal/\r\n\r\n"}, false},
                      AnswerCase{"closed_without_answer", {}, false}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(WinsockUser, SilentServerIsNotProvenAfterTheReceiveWait) {
    LoopbackHttpServer server({}, milliseconds(2500));
    ASSERT_TRUE(server.ok());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProveTunnel("127.0.0.1", server.port()));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, milliseconds(900));
    EXPECT_LT(elapsed, milliseconds(2400));
}

TEST_F(WinsockUser, NothingListeningIsNotProven) {
    // A port that was free a moment ago: bind, note it, close.
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(probe, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    closesocket(probe);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProveTunnel("127.0.0.1", std::to_string(ntohs(address.sin_port))));
    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(8000));
}

}  // namespace
}  // namespace vantorel
