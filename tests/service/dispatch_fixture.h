#pragma once
// A command dispatch over a fake host and a real TunnelController, with the worker strand
// replaced by a list of posted tasks that the test runs when it chooses.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker/service/command_dispatch.h"
#include "tests/fakes/fake_host.h"

namespace vantorel {

inline constexpr char kServiceProfileLink[] = "hysteria2://s3cret@vpn.example.net:443?sni=vpn.example.net";

inline std::string ConnectDocument(const std::string& direct_domains_json = "[]") {
    return std::string("{\"command\":\"connect\",\"protocol_version\":3,\"uri\":\"") + kServiceProfileLink +
           "\",\"direct_domains\":" + direct_domains_json + ",\"force_proxy_domains\":[],\"udp_direct\":0}";
}

inline std::string DisconnectDocument(unsigned long long generation) {
    return "{\"command\":\"disconnect\",\"protocol_version\":3,\"generation\":" + std::to_string(generation) + "}";
}

inline std::string ProveDocument(unsigned long long generation, const std::string& verdict) {
    return "{\"command\":\"prove\",\"protocol_version\":3,\"generation\":" + std::to_string(generation) +
           ",\"message\":\"" + verdict + "\"}";
}

class DispatchFixture : public ::testing::Test {
protected:
    DispatchFixture() {
        controller = host.make_controller();
        DispatchContext context{*controller,
                                host.log,
                                cancel,
                                [this](std::function<void()> task) {
                                    if (!strand_open) return false;
                                    sequence.push_back("post");
                                    tasks.push_back(std::move(task));
                                    return true;
                                },
                                [this](std::string document) {
                                    sequence.push_back("reply");
                                    replies.push_back(std::move(document));
                                },
                                [this] {
                                    ++clear_calls;
                                    return log_files_left;
                                },
                                [this] { return now_ms; },
                                [this] {
                                    ++stopping_checks;
                                    return stopping || (stop_from_check > 0 && stopping_checks >= stop_from_check);
                                }};
        dispatch = std::make_unique<CommandDispatch>(std::move(context));
    }

    void send(const std::string& payload) { dispatch->dispatch(payload); }

    // Runs every posted task, oldest first, as the strand would.
    void run_tasks() {
        while (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.erase(tasks.begin());
            task();
        }
    }

    nlohmann::json last_reply() const {
        EXPECT_FALSE(replies.empty());
        return replies.empty() ? nlohmann::json() : nlohmann::json::parse(replies.back());
    }

    std::vector<FakeLogLine> lines(const std::string& event) const { return host.log.with_event(event); }

    // Admits a connect and leaves it queued: the session is connecting with generation 1.
    void admit_connect() {
        send(ConnectDocument());
        ASSERT_EQ(last_reply()["accepted"], true);
        ASSERT_EQ(controller->snapshot().state, SessionState::connecting);
    }

    FakeHost host;
    std::unique_ptr<TunnelController> controller;
    std::atomic<bool> cancel{false};
    std::vector<std::function<void()>> tasks;
    std::vector<std::string> replies;
    std::vector<std::string> sequence;
    std::vector<std::string> log_files_left;
    int clear_calls = 0;
    long long now_ms = 100000;
    bool stopping = false;
    std::atomic<int> stopping_checks{0};  // also read by a test while a pipe thread waits
    int stop_from_check = 0;              // > 0: the stop flag is seen from this check of the dispatch on
    bool strand_open = true;              // false: the strand refuses posts, as once its stop was requested
    std::unique_ptr<CommandDispatch> dispatch;
};

}  // namespace vantorel
