// Prints the control manager's record of one service, one "KEY: value" line each, for the
// installer tests: Wine's sc.exe has no "qc" or "qfailure". Exit code 0, or the Windows error of
// the first call that failed (1060 when the service does not exist).
//
// Usage: service_config_probe.exe SERVICE_NAME

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/win32/win_handle.h"
#include "broker/win32/wide_text.h"

namespace {

using vantorel::ScopedResource;
using ServiceHandle = ScopedResource<SC_HANDLE, &CloseServiceHandle>;

void PrintLine(const char* key, const std::wstring& value) {
    std::printf("%s: %s\n", key, vantorel::WideToUtf8(value).c_str());
}
void PrintLine(const char* key, unsigned long value) { std::printf("%s: %lu\n", key, value); }

// The two-call size dance of QueryServiceConfig(2)W; empty on failure.
template <typename Query>
std::vector<BYTE> QueryBlock(Query query) {
    DWORD needed = 0;
    query(nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return {};
    std::vector<BYTE> block(needed);
    if (!query(block.data(), needed, &needed)) return {};
    return block;
}

std::vector<BYTE> QueryConfig2(SC_HANDLE service, DWORD level) {
    return QueryBlock([&](BYTE* buffer, DWORD size, DWORD* needed) {
        return QueryServiceConfig2W(service, level, buffer, size, needed);
    });
}

const char* ActionName(SC_ACTION_TYPE type) {
    switch (type) {
        case SC_ACTION_NONE:
            return "none";
        case SC_ACTION_RESTART:
            return "restart";
        case SC_ACTION_REBOOT:
            return "reboot";
        case SC_ACTION_RUN_COMMAND:
            return "run";
        default:
            return "other";
    }
}

bool PrintBasicConfig(SC_HANDLE service) {
    const std::vector<BYTE> block = QueryBlock([&](BYTE* buffer, DWORD size, DWORD* needed) {
        return QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), size, needed);
    });
    if (block.empty()) return false;
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(block.data());
    PrintLine("TYPE", config->dwServiceType);
    PrintLine("START_TYPE", config->dwStartType);
    PrintLine("ERROR_CONTROL", config->dwErrorControl);
    PrintLine("BINARY_PATH_NAME", config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    PrintLine("SERVICE_START_NAME", config->lpServiceStartName ? config->lpServiceStartName : L"");
    PrintLine("DISPLAY_NAME", config->lpDisplayName ? config->lpDisplayName : L"");
    return true;
}

// What Wine cannot answer is printed as "?" rather than failing the whole probe.
void PrintExtendedConfig(SC_HANDLE service) {
    const std::vector<BYTE> description = QueryConfig2(service, SERVICE_CONFIG_DESCRIPTION);
    const auto* text =
        description.empty() ? nullptr : reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data());
    PrintLine("DESCRIPTION", text && text->lpDescription ? text->lpDescription : L"");

    const std::vector<BYTE> failure = QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS);
    if (failure.empty()) {
        std::printf("RESET_PERIOD: ?\nFAILURE_ACTIONS: ?\n");
    } else {
        const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(failure.data());
        PrintLine("RESET_PERIOD", actions->dwResetPeriod);
        std::string list;
        for (DWORD i = 0; i < actions->cActions; ++i) {
            if (!list.empty()) list += ' ';
            list += ActionName(actions->lpsaActions[i].Type);
            list += '/' + std::to_string(actions->lpsaActions[i].Delay);
        }
        std::printf("FAILURE_ACTIONS: %s\n", list.c_str());
    }

    const std::vector<BYTE> preshutdown = QueryConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO);
    if (preshutdown.empty()) {
        std::printf("PRESHUTDOWN_TIMEOUT: ?\n");
    } else {
        PrintLine("PRESHUTDOWN_TIMEOUT",
                  reinterpret_cast<const SERVICE_PRESHUTDOWN_INFO*>(preshutdown.data())->dwPreshutdownTimeout);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: service_config_probe.exe SERVICE_NAME\n");
        return 87;
    }
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return static_cast<int>(GetLastError());
    ServiceHandle service(OpenServiceW(manager.get(), argv[1], SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) return static_cast<int>(GetLastError());

    PrintLine("SERVICE_NAME", argv[1]);
    if (!PrintBasicConfig(service.get())) return static_cast<int>(GetLastError());
    PrintExtendedConfig(service.get());

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                             &needed)) {
        PrintLine("STATE", status.dwCurrentState);
    }
    return 0;
}
