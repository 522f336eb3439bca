#include "broker/service/pipe_client_rules.h"

#include "broker/contracts/platform_services.h"

namespace vantorel {

bool KeepsInstanceAfterConnectFailure(std::uint32_t error) {
    switch (error) {
        case win32_error::broken_pipe:
        case win32_error::no_data:  // the client closed before the server connected
        case win32_error::pipe_not_connected:
        case win32_error::wait_timeout:  // the stop event ended the wait
        case win32_error::operation_aborted:
            return true;
        default:
            return false;
    }
}

bool ClientStartedBeforeConnect(std::uint64_t process_created, std::uint64_t connected_at) {
    return process_created != 0 && process_created <= connected_at;
}

}  // namespace vantorel
