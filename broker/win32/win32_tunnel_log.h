#pragma once
// The service log: one line per event in logs\service.log, one older generation. Windows only.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "broker/contracts/platform_services.h"
#include "broker/win32/data_directory.h"

namespace vantorel {

inline constexpr std::uint64_t kLogRotateAbove = 1048576;
inline constexpr size_t kLogLineBuffer = 512;

// Writes, rotations and clears of one log object take turns, so no line and no older
// generation is lost to a collision between the broker's threads. Another process writing the
// same files (a --reconcile run) is met at the file: an open it blocks is retried for a moment,
// and a rotation checks the size on the file it renames.
class Win32TunnelLog : public TunnelLog {
public:
    Win32TunnelLog() : paths_(CurrentDataPaths()) {}
    explicit Win32TunnelLog(DataPaths paths) : paths_(std::move(paths)) {}
    void write(long long generation, const std::string& event, const std::string& code, std::uint32_t win32) override;
    // clear_log_files(), in turn with the writes.
    std::vector<std::string> clear_files();

private:
    const DataPaths paths_;
    std::mutex turn_;
};

// One log line for the given UTC time, at most 511 bytes and always ending in CR LF.
std::string FormatLogLine(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
                          long long generation, const std::string& event, const std::string& code, std::uint32_t win32);

// Deletes service.log.1 and service.log; returns the names of those that stayed. The service
// clears through its log object (clear_files), so no write crosses the deletion.
std::vector<std::string> clear_log_files(const DataPaths& paths = CurrentDataPaths());

}  // namespace vantorel
