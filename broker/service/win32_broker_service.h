#pragma once
// The service context: the platform objects, the TunnelController over them and the portable
// service core, alive for one run of the service main function. Windows only.

#include "broker/core/tunnel_controller.h"
#include "broker/service/win32_platform_set.h"
#include "broker/service/service_core.h"

namespace vantorel {

struct BrokerService {
    BrokerService(const DataPaths& paths, ServiceCoreHooks hooks);

    // Declaration order is construction order: the controller holds references to the platform
    // objects, and the core's worker runs the controller, so each is destroyed before what it uses.
    PlatformSet platform;
    TunnelController controller;
    ServiceCore core;
};

// Hooks of the running service: the ready event, the steady clock and the flow probe over the
// engine's control API. The log files are cleared through the service's own log object.
ServiceCoreHooks WindowsServiceHooks(void* ready_event);

}  // namespace vantorel
