#include "broker/service/pipe_client_rules.h"

namespace vantorel {
namespace {

constexpr std::uint32_t kBrokenPipe = 109;
constexpr std::uint32_t kNoData = 232;  // the client closed before the server connected
constexpr std::uint32_t kPipeNotConnected = 233;
constexpr std::uint32_t kWaitTimeout = 258;  // the stop event ended the wait
constexpr std::uint32_t kOperationAborted = 995;

}  // namespace

bool KeepsInstanceAfterConnectFailure(std::uint32_t error) {
    switch (error) {
        case kBrokenPipe:
        case kNoData:
        case kPipeNotConnected:
        case kWaitTimeout:
        case kOperationAborted:
            return true;
        default:
            return false;
    }
}

bool ClientStartedBeforeConnect(std::uint64_t process_created, std::uint64_t connected_at) {
    return process_created != 0 && process_created <= connected_at;
}

}  // namespace vantorel
