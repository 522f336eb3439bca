#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>

#include "controller/broker_connect_rules.h"

namespace vantorel {
namespace {

// What the pipe and the service look like at one attempt.
struct Attempt {
    std::uint32_t open_error = 0;
    bool server_known = true;
    std::uint32_t server_pid = 40;
    bool service_known = true;
    bool service_running = true;
    std::uint32_t service_pid = 40;
};

Attempt NoPipe() { return Attempt{kWin32FileNotFound}; }
Attempt Busy() { return Attempt{kWin32PipeBusy}; }
Attempt Served() { return Attempt{}; }

// Plays the attempts in order and keeps the last one once the script runs out; records every
// call as one letter: O open, C close, W wait for instance, P pause.
class ScriptedEndpoint final : public BrokerEndpoint {
public:
    explicit ScriptedEndpoint(std::deque<Attempt> script) : script_(std::move(script)) {}

    std::uint32_t open_pipe() override {
        calls += 'O';
        current_ = script_.front();
        if (script_.size() > 1) script_.pop_front();
        if (current_.open_error == 0) holding = true;
        return current_.open_error;
    }
    void close_pipe() override {
        calls += 'C';
        holding = false;
    }
    bool pipe_server_process_id(std::uint32_t& pid) override {
        pid = current_.server_pid;
        return current_.server_known;
    }
    bool query_service(bool& running, std::uint32_t& pid) override {
        running = current_.service_running;
        pid = current_.service_pid;
        return current_.service_known;
    }
    void wait_for_instance(unsigned ms) override {
        calls += 'W';
        EXPECT_EQ(ms, 100u);
    }
    void pause(unsigned ms) override {
        calls += 'P';
        EXPECT_EQ(ms, 100u);
    }

    std::string calls;
    bool holding = false;

private:
    std::deque<Attempt> script_;
    Attempt current_;
};

std::string Repeat(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

struct ConnectCase {
    const char* name;
    std::deque<Attempt> script;
    ConnectResult result;
    std::uint32_t win32;
    std::string calls;
};

void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class ConnectRules : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectRules, FollowTheSharedAttemptCounter) {
    const ConnectCase& c = GetParam();
    ScriptedEndpoint endpoint(c.script);
    const ConnectOutcome outcome = ConnectWithRetries(endpoint);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.win32, c.win32);
    EXPECT_EQ(endpoint.calls, c.calls);
    // Only a connected outcome leaves the pipe open.
    EXPECT_EQ(endpoint.holding, c.result == ConnectResult::connected);
}

Attempt WithService(bool running, std::uint32_t pid) {
    Attempt a;
    a.service_running = running;
    a.service_pid = pid;
    return a;
}

Attempt WithServer(bool known, std::uint32_t pid) {
    Attempt a;
    a.server_known = known;
    a.server_pid = pid;
    return a;
}

Attempt OpenError(std::uint32_t error) { return Attempt{error}; }

Attempt ServiceUnknown() {
    Attempt a;
    a.service_known = false;
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ConnectRules,
    ::testing::Values(
        ConnectCase{"served_by_running_service", {Served()}, ConnectResult::connected, 0, "O"},
        ConnectCase{
            "busy_three_times_then_free", {Busy(), Busy(), Busy(), Served()}, ConnectResult::connected, 0, "OWOWOWO"},
        ConnectCase{"always_busy", {Busy()}, ConnectResult::busy, kWin32PipeBusy, Repeat("OW", 9) + "O"},
        ConnectCase{"five_missing_then_busy",
                    {NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(), Busy()},
                    ConnectResult::busy,
                    kWin32PipeBusy,
                    Repeat("OP", 5) + Repeat("OW", 4) + "O"},
        ConnectCase{"never_there", {NoPipe()}, ConnectResult::unavailable, kWin32FileNotFound, Repeat("OP", 100)},
        ConnectCase{"pipe_wait_timed_out_then_served",
                    {OpenError(kWin32SemTimeout), Served()},
                    ConnectResult::connected,
                    0,
                    "OPO"},
        ConnectCase{"access_denied_at_once", {OpenError(5)}, ConnectResult::unavailable, 5, "O"},
        ConnectCase{"served_by_another_process",
                    {WithServer(true, 41)},
                    ConnectResult::unavailable,
                    kWin32ServiceNotActive,
                    "OC"},
        ConnectCase{
            "server_pid_unknown", {WithServer(false, 40)}, ConnectResult::unavailable, kWin32ServiceNotActive, "OC"},
        ConnectCase{"server_pid_zero", {WithServer(true, 0)}, ConnectResult::unavailable, kWin32ServiceNotActive, "OC"},
        ConnectCase{
            "service_not_installed", {ServiceUnknown()}, ConnectResult::unavailable, kWin32ServiceNotActive, "OC"},
        ConnectCase{
            "start_pending_then_running", {WithService(false, 40), Served()}, ConnectResult::connected, 0, "OCPO"},
        ConnectCase{"service_without_process_then_running",
                    {WithService(false, 0), Served()},
                    ConnectResult::connected,
                    0,
                    "OCPO"},
        ConnectCase{"service_stopping_for_good",
                    {WithService(false, 40)},
                    ConnectResult::unavailable,
                    kWin32ServiceNotActive,
                    Repeat("OCP", 100)},
        ConnectCase{"missing_then_busy_after_limit_counts_pauses",
                    {NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(), NoPipe(),
                     NoPipe(), Busy()},
                    ConnectResult::busy,
                    kWin32PipeBusy,
                    Repeat("OP", 11) + "O"}),
    [](const ::testing::TestParamInfo<ConnectCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantorel
