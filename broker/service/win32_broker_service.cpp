#include "broker/service/win32_broker_service.h"

#include <windows.h>

#include <memory>
#include <utility>

#include "broker/win32/win32_tunnel_log.h"
#include "broker/win32/winhttp_flow_probe.h"
#include "common/monotonic_clock.h"

namespace vantorel {
namespace {

// A clear_log takes its turn with the lines the worker writes to the same files.
ServiceCoreHooks ClearingThrough(Win32TunnelLog& log, ServiceCoreHooks hooks) {
    hooks.clear_log = [&log] { return log.clear_files(); };
    return hooks;
}

}  // namespace

BrokerService::BrokerService(const DataPaths& paths, ServiceCoreHooks hooks)
    : platform(paths),
      controller(platform.routes, platform.engine, platform.resolver, platform.probe, platform.files, platform.log,
                 platform.sleeper, platform.firewall),
      core(controller, platform.log, ClearingThrough(platform.log, std::move(hooks))) {}

ServiceCoreHooks WindowsServiceHooks(void* ready_event) {
    ServiceCoreHooks hooks;
    hooks.on_ready = [ready_event] { SetEvent(static_cast<HANDLE>(ready_event)); };
    hooks.steady_ms = [] { return static_cast<long long>(MonotonicMs()); };
    hooks.flow_probe_factory = [](unsigned short port, const std::string& secret) -> std::unique_ptr<FlowProbe> {
        return std::make_unique<WinHttpFlowProbe>(port, secret);
    };
    return hooks;
}

}  // namespace vantorel
