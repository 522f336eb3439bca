// VantorelBroker.exe: the service, or with "--reconcile" the command-line recovery.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "broker/service/program_arguments.h"
#include "broker/service/win32_reconcile_mode.h"
#include "broker/service/win32_service_main.h"

namespace {

std::vector<std::wstring> CommandLineArguments() {
    std::vector<std::wstring> arguments;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return arguments;
    for (int i = 0; i < count; ++i) arguments.emplace_back(argv[i]);
    LocalFree(argv);
    return arguments;
}

}  // namespace

int main() {
    // Before the first call into a delay-loaded DLL (IPHLPAPI, WINHTTP): System32 only, never
    // beside the program, where a folder writable by users would let them plant one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    const std::vector<std::wstring> arguments = CommandLineArguments();
    if (vantorel::SelectsReconcileMode(arguments))
        return vantorel::RunReconcileMode(vantorel::RequestedDataRemoval(arguments));

    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(vantorel::kServiceName), vantorel::BrokerServiceMain},
        {nullptr, nullptr},
    };
    // Returns at service end, or at once when the control manager did not start this process.
    StartServiceCtrlDispatcherW(table);
    return 0;
}
