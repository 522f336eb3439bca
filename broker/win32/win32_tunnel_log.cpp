#include "broker/win32/win32_tunnel_log.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/monotonic_clock.h"
#include "common/win32/win_handle.h"

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

constexpr std::uint64_t kOpenRetryForMs = 100;

// Quirk: docs/windows-quirks.md, "Two writers of `service.log`".
// The log is opened sharing reads only. Another process's writer holds it for one write at a
// time, so an open it blocks is tried again for a while; one held for longer (a reader that
// does not share writes) still costs the line, after that while.
HANDLE OpenSharingReads(const std::wstring& path, DWORD access, DWORD disposition) {
    const std::uint64_t give_up = MonotonicMs() + kOpenRetryForMs;
    for (;;) {
        HANDLE file =
            CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (GetLastError() != ERROR_SHARING_VIOLATION || MonotonicMs() >= give_up) return INVALID_HANDLE_VALUE;
        Sleep(1);
    }
}

bool RenameOver(HANDLE file, const std::wstring& target) {
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

void RotateIfLarge(const DataPaths& paths) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(paths.service_log.c_str(), GetFileExInfoStandard, &data)) return;
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size <= kLogRotateAbove) return;
    // The size is read again on the file this handle holds, and that very file is renamed: a
    // rotation another process made meanwhile left a fresh small file here, which stays.
    WinHandle file(OpenSharingReads(paths.service_log, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_EXISTING));
    if (!file) return;
    LARGE_INTEGER held{};
    if (!GetFileSizeEx(file.get(), &held) || static_cast<std::uint64_t>(held.QuadPart) <= kLogRotateAbove) return;
    RenameOver(file.get(), paths.service_log_previous);
}

void AppendLine(const DataPaths& paths, const std::string& line) {
    WinHandle file(OpenSharingReads(paths.service_log, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS));
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

// Quirk: docs/windows-quirks.md, "Log lines from outside text".
std::string FormatLogLine(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
                          long long generation, const std::string& event, const std::string& code,
                          std::uint32_t win32) {
    std::string safe_event = OneLine(event);
    std::string safe_code = code.empty() ? std::string("-") : OneLine(code);
    char buffer[kLogLineBuffer];
    int n = std::snprintf(buffer, sizeof(buffer),
                          "%04u-%02u-%02uT%02u:%02u:%02uZ generation=%lld event=%s code=%s win32=%lu\r\n", year, month,
                          day, hour, minute, second, generation, safe_event.c_str(), safe_code.c_str(),
                          static_cast<unsigned long>(win32));
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof(buffer)) return std::string(buffer, static_cast<size_t>(n));
    // Cut, but keep the line end: a line without one would merge with the next event.
    std::string line(buffer, sizeof(buffer) - 3);
    line += "\r\n";
    return line;
}

void Win32TunnelLog::write(long long generation, const std::string& event, const std::string& code,
                           std::uint32_t win32) {
    std::lock_guard<std::mutex> turn(turn_);
    EnsureLogDirectory(paths_);
    RotateIfLarge(paths_);
    SYSTEMTIME t{};
    GetSystemTime(&t);
    std::string line =
        FormatLogLine(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, generation, event, code, win32);
    if (!line.empty()) AppendLine(paths_, line);
}

std::vector<std::string> Win32TunnelLog::clear_files() {
    std::lock_guard<std::mutex> turn(turn_);
    return clear_log_files(paths_);
}

std::vector<std::string> clear_log_files(const DataPaths& paths) {
    EnsureLogDirectory(paths);
    std::vector<std::string> stayed;
    if (!DeleteWithRetry(paths.service_log_previous)) stayed.emplace_back("service.log.1");
    if (!DeleteWithRetry(paths.service_log)) stayed.emplace_back("service.log");
    return stayed;
}

}  // namespace vantorel
