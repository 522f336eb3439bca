#pragma once
// Stand-ins for standard input and output shared by the controller tests.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/document_sink.h"
#include "controller/stdin_reader.h"

namespace vantorel::testing_support {

class CollectingSink final : public DocumentSink {
public:
    void print(const std::string& document) override {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(document);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_.size();
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// Input the test feeds while the relay runs; ReadLine blocks like a console would.
class FedLineSource final : public LineSource {
public:
    void Feed(const std::string& line) {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(line);
        ready_.notify_all();
    }
    void End() {
        std::lock_guard<std::mutex> hold(lock_);
        ended_ = true;
        ready_.notify_all();
    }
    bool read_line(std::string& line) override {
        std::unique_lock<std::mutex> hold(lock_);
        ready_.wait(hold, [this] { return ended_ || !lines_.empty(); });
        if (lines_.empty()) return false;
        line = lines_.front();
        lines_.pop_front();
        return true;
    }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    bool ended_ = false;
};

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The frame bytes for `payload`, written out here rather than through the code under test.
inline std::string FrameBytes(const std::string& payload) {
    const auto n = static_cast<unsigned>(payload.size());
    std::string frame;
    frame.push_back(static_cast<char>(n & 0xff));
    frame.push_back(static_cast<char>((n >> 8) & 0xff));
    frame.push_back(static_cast<char>((n >> 16) & 0xff));
    frame.push_back(static_cast<char>((n >> 24) & 0xff));
    return frame + payload;
}

inline std::string FrameHeader(unsigned length) {
    std::string header;
    for (int shift = 0; shift < 32; shift += 8) header.push_back(static_cast<char>((length >> shift) & 0xff));
    return header;
}

// Event texts as the broker writes them.
inline std::string StateEvent(long long generation, const std::string& state) {
    return "{\"event\":\"state\",\"generation\":" + std::to_string(generation) + ",\"state\":\"" + state +
           "\",\"code\":null,\"message\":null,\"cleanup_verified\":true}";
}
inline std::string TunReadyEvent(long long generation) {
    return "{\"event\":\"tun_ready\",\"generation\":" + std::to_string(generation) +
           ",\"state\":\"connecting\",\"code\":null,\"message\":null,\"cleanup_verified\":false}";
}
inline std::string AckEvent(const std::string& command, long long generation) {
    return "{\"event\":\"ack\",\"command\":\"" + command +
           "\",\"accepted\":true,\"generation\":" + std::to_string(generation) + ",\"code\":null,\"message\":null}";
}
inline std::string ProveText(long long generation, const char* verdict) {
    return "{\"command\":\"prove\",\"protocol_version\":3,\"generation\":" + std::to_string(generation) +
           ",\"message\":\"" + verdict + "\"}";
}
inline std::string ClientErrorText(const std::string& code) {
    return "{\"event\":\"client_error\",\"generation\":0,\"state\":\"\",\"code\":\"" + code +
           "\",\"message\":\"Команда подключения не передана\",\"cleanup_verified\":true}";
}
inline const std::string kBrokerClosedText =
    "{\"event\":\"broker_closed\",\"generation\":0,\"state\":\"\",\"code\":\"broker_unavailable\",\"message\":null}";
inline const std::string kDisconnectTimeoutText =
    "{\"event\":\"state\",\"generation\":0,\"state\":\"disconnecting\",\"code\":\"disconnect_timeout\","
    "\"message\":null,\"cleanup_verified\":false}";
inline const std::string kValidConnect =
    "{\"command\":\"connect\",\"protocol_version\":3,\"uri\":\"vless://id@example.com:443\","
    "\"direct_domains\":[\"alpha.example\"],\"force_proxy_domains\":[],\"udp_direct\":0}";

}  // namespace vantorel::testing_support
