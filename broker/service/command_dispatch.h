#pragma once
// Answers one command payload from the pipe client: replies go to the outbox, host work goes to
// the worker strand as tasks, notable commands go to the service log.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker/contracts/platform_services.h"
#include "broker/core/tunnel_controller.h"
#include "protocol/commands.h"

namespace vantorel {

struct DispatchContext {
    TunnelController& controller;
    TunnelLog& log;
    std::atomic<bool>& cancel;
    // To the worker strand; false when the strand is stopping and the task will not run.
    std::function<bool(std::function<void()>)> post;
    std::function<void(std::string)> reply;               // to the event outbox
    std::function<std::vector<std::string>()> clear_log;  // names of log files left behind
    std::function<long long()> steady_ms;                 // monotonic milliseconds
    std::function<bool()> stopping;                       // the worker's stop flag
};

class CommandDispatch {
public:
    static constexpr long long kHelloLogIntervalMs = 30000;

    explicit CommandDispatch(DispatchContext context);

    void dispatch(const std::string& payload);

private:
    void answer_hello(const TunnelSnapshot& snapshot);
    void answer_clear_log(const TunnelSnapshot& snapshot);
    void answer_prove(const BrokerCommand& cmd, const TunnelSnapshot& snapshot);
    void answer_disconnect(const BrokerCommand& cmd, const TunnelSnapshot& snapshot);
    void answer_connect(const BrokerCommand& cmd, const TunnelSnapshot& snapshot);
    bool stopping() const;
    void refuse(const std::string& command, long long generation, const std::string& code, const std::string& message);

    DispatchContext ctx_;
    // Steady-clock time of the last logged hello; empty until the first one, so the first hello
    // is logged even when the clock is still below the interval (a freshly booted machine).
    std::optional<long long> last_hello_log_ms_;
};

// The result text of a clear_log: "cleared", or "blocked" and each remaining name.
std::string ClearLogResultText(const std::vector<std::string>& remaining);
// A command generation names the current session only when the numbers are equal as written.
bool SameGeneration(std::uint64_t command_generation, long long current);
// A client-chosen command name made safe for one log field: bytes outside [A-Za-z0-9_.-]
// become '?', and it is cut at 64 bytes; the known names pass unchanged.
std::string LoggableCommandName(const std::string& name);

}  // namespace vantorel
