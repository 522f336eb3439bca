#pragma once
// The control pipe "\\.\pipe\VantorelBrokerV3": one verified client at a time, until the stop
// event is set. Windows only.

#include <windows.h>

#include <functional>

#include "broker/core/platform_services.h"
#include "broker/core/tunnel_controller.h"
#include "broker/service/service_core.h"
#include "protocol/broker_names.h"

namespace vantorel {

inline constexpr const wchar_t* kPipeName = kBrokerPipeName;
inline constexpr wchar_t kPipeSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)S:(ML;;NW;;;ME)";

struct PipeServerContext {
    ServiceCore& core;
    TunnelController& controller;
    TunnelLog& log;
    HANDLE stop_event;
    // Keeps a handle to the calling thread for the control handler's cancel of blocking calls.
    std::function<void()> keep_current_thread;
};

void RunPipeServer(const PipeServerContext& context);

// One accepted client: events out, commands in, until the client goes or the service stops.
void RunClientSession(const PipeServerContext& context, HANDLE pipe);

// The client at the other end of `pipe` runs the controller from an accepted place.
bool IsControllerClient(HANDLE pipe);

}  // namespace vantorel
