#include "broker/win32/win32_tunnel_log.h"

#include <windows.h>

#include <cstdio>

#include "broker/win32/win_handle.h"

namespace vantorel {

namespace {

// A line break inside a field would forge a second event line.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

void RotateIfLarge(const DataPaths& paths) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(paths.service_log.c_str(), GetFileExInfoStandard, &data)) return;
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size <= kLogRotateAbove) return;
    MoveFileExW(paths.service_log.c_str(), paths.service_log_previous.c_str(),
                MOVEFILE_REPLACE_EXISTING);
}

void AppendLine(const DataPaths& paths, const std::string& line) {
    WinHandle file(CreateFileW(paths.service_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Deleting can fail for a moment while a reader (an editor, a backup) holds the file.
bool DeleteWithRetry(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    if (DeleteFileW(path.c_str())) return true;
    Sleep(50);
    if (DeleteFileW(path.c_str())) return true;
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::string FormatLogLine(unsigned year, unsigned month, unsigned day, unsigned hour,
                          unsigned minute, unsigned second, long long generation,
                          const std::string& event, const std::string& code, std::uint32_t win32) {
    std::string safe_event = OneLine(event);
    std::string safe_code = code.empty() ? std::string("-") : OneLine(code);
    char buffer[kLogLineBuffer];
    int n = std::snprintf(buffer, sizeof(buffer),
                          "%04u-%02u-%02uT%02u:%02u:%02uZ generation=%lld event=%s code=%s win32=%lu\r\n",
                          year, month, day, hour, minute, second, generation, safe_event.c_str(),
                          safe_code.c_str(), static_cast<unsigned long>(win32));
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(buffer)) return std::string(buffer, static_cast<size_t>(n));
    // Cut, but keep the line end: a line without one would merge with the next event.
    std::string line(buffer, sizeof(buffer) - 3);
    line += "\r\n";
    return line;
}

void Win32TunnelLog::write(long long generation, const std::string& event, const std::string& code,
                           std::uint32_t win32) {
    DataPaths paths = CurrentDataPaths();
    EnsureLogDirectory(paths);
    RotateIfLarge(paths);
    SYSTEMTIME t{};
    GetSystemTime(&t);
    std::string line = FormatLogLine(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                                     generation, event, code, win32);
    if (!line.empty()) AppendLine(paths, line);
}

std::vector<std::string> clear_log_files() {
    DataPaths paths = CurrentDataPaths();
    EnsureLogDirectory(paths);
    std::vector<std::string> stayed;
    if (!DeleteWithRetry(paths.service_log_previous)) stayed.emplace_back("service.log.1");
    if (!DeleteWithRetry(paths.service_log)) stayed.emplace_back("service.log");
    return stayed;
}

}  // namespace vantorel
