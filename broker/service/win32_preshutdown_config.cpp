#include "broker/service/win32_preshutdown_config.h"

#include <windows.h>

#include "broker/service/win32_service_main.h"
#include "broker/service/service_status_table.h"
#include "common/win32/win_handle.h"

namespace vantorel {
namespace {

using ServiceHandle = ScopedResource<SC_HANDLE, &CloseServiceHandle>;

DWORD ConfiguredTimeout(SC_HANDLE service, DWORD& timeout_ms) {
    SERVICE_PRESHUTDOWN_INFO info{};
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<LPBYTE>(&info), sizeof(info),
                              &needed)) {
        return GetLastError();
    }
    timeout_ms = info.dwPreshutdownTimeout;
    return 0;
}

DWORD RaiseTimeout() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return GetLastError();
    ServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    if (!service) return GetLastError();
    DWORD configured = 0;
    if (DWORD error = ConfiguredTimeout(service.get(), configured)) return error;
    if (!PreshutdownNeedsRaise(configured)) return 0;
    SERVICE_PRESHUTDOWN_INFO wanted{kPreshutdownTimeoutMs};
    // Quirk: docs/windows-quirks.md, "Pre-shutdown".
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &wanted)) return GetLastError();
    return 0;
}

}  // namespace

void EnsurePreshutdownTimeout(TunnelLog& log) {
    if (DWORD error = RaiseTimeout()) log.write(0, "service_config", "preshutdown", error);
}

}  // namespace vantorel
