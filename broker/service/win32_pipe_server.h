#pragma once
// The control pipe "\\.\pipe\VantorelBrokerV3": one verified client at a time, until the stop
// event is set. Windows only.

#include <windows.h>

#include <cstdint>
#include <functional>

#include "broker/contracts/platform_services.h"
#include "broker/core/tunnel_controller.h"
#include "broker/service/service_core.h"
#include "protocol/broker_names.h"

namespace vantorel {

inline constexpr const wchar_t* kPipeName = kBrokerPipeName;
// Authenticated users get read and write as an explicit mask, FILE_GENERIC_READ |
// FILE_GENERIC_WRITE less FILE_APPEND_DATA: on a pipe that bit is FILE_CREATE_PIPE_INSTANCE,
// which "GW" would grant, and with it the right to serve the pipe's name themselves.
inline constexpr std::uint32_t kPipeUserAccess = 0x0012019B;
inline constexpr wchar_t kPipeSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x0012019b;;;AU)S:(ML;;NW;;;ME)";

struct PipeServerContext {
    ServiceCore& core;
    TunnelController& controller;
    TunnelLog& log;
    HANDLE stop_event;
    // Keeps a handle to the calling thread for the control handler's cancel of blocking calls.
    std::function<void()> keep_current_thread;
    const wchar_t* pipe_name = kPipeName;
    // Whether the connected client may be served; IsControllerClient when empty. `connected_at`
    // is the system time (FILETIME units) taken when the connection had completed.
    std::function<bool(HANDLE pipe, std::uint64_t connected_at)> verify_client;
};

void RunPipeServer(const PipeServerContext& context);

// One accepted client: events out, commands in, until the client goes or the service stops.
void RunClientSession(const PipeServerContext& context, HANDLE pipe);

// The client at the other end of `pipe` runs the controller from an accepted place, in a process
// that already existed when the connection completed.
bool IsControllerClient(HANDLE pipe, std::uint64_t connected_at);

}  // namespace vantorel
