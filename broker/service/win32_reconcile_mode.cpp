#include "broker/service/win32_reconcile_mode.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>

#include "broker/core/tunnel_controller.h"
#include "broker/service/win32_platform_set.h"
#include "broker/service/win32_service_main.h"
#include "broker/win32/data_directory.h"
#include "broker/win32/data_removal.h"
#include "common/win32/win_handle.h"
#include "common/win32/winsock_session.h"

namespace vantorel {
namespace {

using ServiceHandle = ScopedResource<SC_HANDLE, &CloseServiceHandle>;

constexpr int kStopPolls = 40;
constexpr DWORD kStopPollMs = 500;

// Stops a running service so the recovery does not race it; a missing service is no error.
void StopRunningService() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return;
    ServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return;
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < kStopPolls; ++i) {
        SERVICE_STATUS_PROCESS process{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                  sizeof(process), &needed)) {
            break;
        }
        if (process.dwCurrentState == SERVICE_STOPPED) break;
        Sleep(kStopPollMs);
    }
}

}  // namespace

int RunReconcileMode(const DataRemoval& removal) {
    StopRunningService();

    EnsureWinsockStarted();

    const DataPaths paths = CurrentDataPaths();
    const DataDirectoryOutcome prepared = PrepareDataDirectory(paths);
    if (!prepared.secured) {
        // Nothing read from a folder another user may control drives the recovery.
        ReportUnsecuredDataDirectory(paths, prepared);
        WSACleanup();
        return 1;
    }
    auto platform = std::make_unique<PlatformSet>(paths);
    LogDataDirectoryOutcome(platform->log, prepared);

    TunnelSnapshot outcome;
    {
        TunnelController controller(platform->routes, platform->engine, platform->resolver, platform->probe,
                                    platform->files, platform->log, platform->sleeper, platform->firewall);
        const std::atomic<bool> cancel{false};
        outcome = controller.recover_at_startup(cancel);
    }
    platform.reset();  // closes the log before it may be deleted

    WSACleanup();
    const bool clean = outcome.state == SessionState::idle && outcome.cleanup_verified;
    // An unclean host keeps its ledger: it is the only record of what is left to undo.
    if (clean && removal.run) RemoveOwnData(paths, removal.logs);
    return clean ? 0 : 1;
}

}  // namespace vantorel
