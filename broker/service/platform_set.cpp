#include "broker/service/platform_set.h"

#include "broker/win32/wide_text.h"

namespace vantorel {

std::wstring EnginePath() { return DirectoryOf(OwnExecutablePath()) + L"\\sing-box.exe"; }

PlatformSet::PlatformSet(const DataPaths& paths) : engine(EnginePath(), paths.engine_config) {}

void LogDataDirectoryOutcome(TunnelLog& log, const DataDirectoryOutcome& outcome) {
    if (outcome.moved_aside) log.write(0, "data_directory", "moved_aside", 0);
    if (!outcome.failed_step.empty()) {
        log.write(0, "data_directory", outcome.failed_step, outcome.error);
    } else {
        log.write(0, "data_directory", outcome.secured ? "secured" : "unsecured", outcome.error);
    }
}

}  // namespace vantorel
