#pragma once
// Shared set-up of the tunnel core scenario tests: one fake host, one controller over it.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "broker/core/tunnel_controller.h"
#include "protocol/codes.h"
#include "protocol/connectivity_check.h"
#include "tests/fakes/fake_host.h"

namespace vantorel {

inline constexpr char kProfileLink[] = "hysteria2://s3cret@vpn.example.net:443?sni=vpn.example.net";
inline constexpr char kServerIp[] = "198.51.100.20";
inline constexpr char kCheckIp[] = "203.0.113.204";
// Ledger saves of one successful connect. The Wine end-to-end suites read this line as well
// (tests/wine/e2e/case_support.py), so the number lives here only.
inline constexpr std::size_t kConnectLedgerSaves = 13;

class CoreScenario : public ::testing::Test {
protected:
    CoreScenario() {
        job.uri = kProfileLink;
        job.direct_domains = {"example.ru"};
        rebuild_controller();
    }

    // A fresh controller over the same host, as after a broker restart.
    void rebuild_controller() {
        controller = host.make_controller();
        controller->set_snapshot_listener([this](const TunnelSnapshot& snapshot) { published.push_back(snapshot); });
    }

    TunnelSnapshot connect() {
        const ConnectAdmission admission = controller->begin_connect();
        EXPECT_TRUE(admission.accepted);
        return controller->run_connect(job, cancel);
    }

    TunnelSnapshot connect_ok() {
        const TunnelSnapshot result = connect();
        EXPECT_EQ(result.state, SessionState::connected);
        EXPECT_EQ(result.code, ErrorCode::none);
        return result;
    }

    // The "state" lines publish writes: event = state name.
    std::vector<FakeLogLine> state_lines() const {
        std::vector<FakeLogLine> found;
        for (const FakeLogLine& line : host.log.lines) {
            for (SessionState state :
                 {SessionState::idle, SessionState::connecting, SessionState::connected, SessionState::disconnecting}) {
                if (line.event == SessionStateName(state)) found.push_back(line);
            }
        }
        return found;
    }

    void expect_clean() const {
        std::string why;
        EXPECT_TRUE(host.clean(why)) << why;
    }

    FakeHost host;
    std::unique_ptr<TunnelController> controller;
    std::atomic<bool> cancel{false};
    std::vector<TunnelSnapshot> published;
    ConnectJob job;
};

}  // namespace vantorel
