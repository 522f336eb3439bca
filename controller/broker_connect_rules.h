#pragma once
// How the controller finds the broker: open the pipe, make sure its server is the running
// service, and tell "another controller holds it" from "the service is not there". The
// Windows calls sit behind BrokerEndpoint so the retry rules can be exercised without them.

#include <cstdint>

namespace vantorel {

inline constexpr std::uint32_t kWin32FileNotFound = 2;
inline constexpr std::uint32_t kWin32SemTimeout = 121;
inline constexpr std::uint32_t kWin32PipeBusy = 231;
inline constexpr std::uint32_t kWin32ServiceNotActive = 1062;

inline constexpr int kBusyAttempts = 10;
inline constexpr int kMaxAttempts = 100;
inline constexpr unsigned kAttemptPauseMs = 100;

enum class ConnectResult : int { connected = 0, busy = 1, unavailable = 2 };

class BrokerEndpoint {
public:
    virtual ~BrokerEndpoint() = default;
    // 0 when the pipe opened (the endpoint then holds it), otherwise the Windows error.
    virtual std::uint32_t open_pipe() = 0;
    virtual void close_pipe() = 0;
    // The process serving the open pipe; false when it cannot be told.
    virtual bool pipe_server_process_id(std::uint32_t& pid) = 0;
    // The broker service's process id (0 when it is not running) and whether it is running.
    virtual bool query_service(bool& running, std::uint32_t& pid) = 0;
    // Waits for a free pipe instance; the outcome is not used.
    virtual void wait_for_instance(unsigned ms) = 0;
    virtual void pause(unsigned ms) = 0;
};

struct ConnectOutcome {
    ConnectResult result = ConnectResult::unavailable;
    std::uint32_t win32 = 0;  // why it failed; 231 for busy
    int attempts = 0;         // the shared attempt counter at the end
};

// On `connected` the endpoint still holds the open pipe; otherwise it holds none.
ConnectOutcome ConnectWithRetries(BrokerEndpoint& endpoint);

}  // namespace vantorel
