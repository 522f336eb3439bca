#include "broker/service/win32_platform_set.h"

#include <windows.h>

#include <cstdio>

#include "broker/service/win32_service_main.h"
#include "broker/win32/wide_text.h"

namespace vantorel {

std::wstring EnginePath() { return DirectoryOf(OwnExecutablePath()) + L"\\sing-box.exe"; }

PlatformSet::PlatformSet(const DataPaths& paths)
    : engine(EnginePath(), paths.engine_config), files(paths), log(paths), firewall(EnginePath()) {}

void LogDataDirectoryOutcome(TunnelLog& log, const DataDirectoryOutcome& outcome) {
    if (outcome.moved_aside) log.write(0, "data_directory", "moved_aside", 0);
    if (!outcome.failed_step.empty()) {
        log.write(0, "data_directory", outcome.failed_step, outcome.error);
    } else {
        log.write(0, "data_directory", outcome.secured ? "secured" : "unsecured", outcome.error);
    }
}

void ReportUnsecuredDataDirectory(const DataPaths& paths, const DataDirectoryOutcome& outcome) {
    if (outcome.logs_usable) {
        Win32TunnelLog log(paths);
        LogDataDirectoryOutcome(log, outcome);
    }
    const std::wstring text = L"The data directory is not secured; nothing is served. Step: " +
                              Utf8ToWide(outcome.failed_step) + L", Windows error " +
                              std::to_wstring(DataDirectoryExitCode(outcome)) + L", path: " + outcome.failed_path;
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (source != nullptr) {
        LPCWSTR strings[1] = {text.c_str()};
        ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
    std::fwprintf(stderr, L"%ls\n", text.c_str());
}

std::uint32_t DataDirectoryExitCode(const DataDirectoryOutcome& outcome) {
    return outcome.error != 0 ? outcome.error : ERROR_ACCESS_DENIED;
}

}  // namespace vantorel
