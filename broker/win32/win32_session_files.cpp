#include "broker/win32/win32_session_files.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "broker/portable/ledger_text.h"
#include "common/win32/win_handle.h"

namespace vantorel {

namespace {

constexpr size_t kReadBlock = 1024;
constexpr size_t kReadLimit = 65536;
constexpr DWORD kZeroChunk = 65536;
constexpr int kRenameAttempts = 3;
constexpr DWORD kRenameRetryMs = 50;

// A missing run directory means the file is absent too (error 3, not 2).
bool IsAbsentError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool WriteWhole(HANDLE file, const std::string& text, DWORD& error) {
    if (text.size() > MAXDWORD) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        error = GetLastError();
        if (error == 0) error = ERROR_WRITE_FAULT;
        return false;
    }
    if (written != text.size()) {
        error = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

bool WriteZeros(HANDLE file, DWORD count) {
    std::vector<char> zeros(std::min(count, kZeroChunk), '\0');
    while (count > 0) {
        DWORD chunk = std::min(count, kZeroChunk);
        DWORD written = 0;
        if (!WriteFile(file, zeros.data(), chunk, &written, nullptr) || written != chunk) return false;
        count -= chunk;
    }
    return true;
}

}  // namespace

bool ReadSmallFile(const std::wstring& path, std::string& out) {
    out.clear();
    WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char block[kReadBlock];
    while (out.size() <= kReadLimit) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block, sizeof(block), &got, nullptr) || got == 0) break;
        out.append(block, got);
    }
    return true;
}

Win32SessionFiles::Win32SessionFiles() : paths_(CurrentDataPaths()) {}

Win32SessionFiles::Win32SessionFiles(const std::wstring& base) : paths_(DataPathsFor(base)) {}

Win32SessionFiles::Win32SessionFiles(DataPaths paths) : paths_(std::move(paths)) {}

int Win32SessionFiles::load_ledger(SessionLedger& out) {
    std::string text;
    if (!ReadSmallFile(paths_.ledger, text)) return 0;
    SessionLedger parsed;
    if (ParseLedgerText(text, parsed)) {
        out = parsed;
        return 1;
    }
    SessionLedger salvaged;
    bool rescued = SalvageLedgerText(text, salvaged);
    MoveFileExW(paths_.ledger.c_str(), paths_.ledger_bad.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!rescued) return -1;
    out = salvaged;
    return 1;
}

bool Win32SessionFiles::save_ledger(const SessionLedger& ledger) {
    std::string text = WriteLedgerText(ledger);
    EnsureRunDirectory(paths_);
    {
        WinHandle file(CreateFileW(paths_.ledger_tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return fail_with(GetLastError());
        DWORD error = 0;
        bool written = WriteWhole(file.get(), text, error);
        if (written) FlushFileBuffers(file.get());
        file.reset();
        if (!written) {
            DeleteFileW(paths_.ledger_tmp.c_str());
            return fail_with(error);
        }
    }
    // A reader (a backup, a virus scanner) may hold ledger.txt for a moment without delete sharing.
    DWORD error = 0;
    for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
        if (attempt > 0) Sleep(kRenameRetryMs);
        if (MoveFileExW(paths_.ledger_tmp.c_str(), paths_.ledger.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
    }
    DeleteFileW(paths_.ledger_tmp.c_str());
    return fail_with(error);
}

bool Win32SessionFiles::delete_ledger() {
    if (DeleteFileW(paths_.ledger.c_str())) return true;
    return IsAbsentError(GetLastError());
}

bool Win32SessionFiles::fail_with(std::uint32_t error) {
    last_error_ = error != 0 ? error : ERROR_WRITE_FAULT;
    return false;
}

bool Win32SessionFiles::write_engine_config(const std::string& json) {
    last_error_ = 0;
    EnsureRunDirectory(paths_);
    // Opening over an existing file would keep that file's security, so the descriptor below
    // only holds for a file we create anew.
    if (!DeleteFileW(paths_.engine_config.c_str())) {
        DWORD error = GetLastError();
        if (!IsAbsentError(error)) return fail_with(error);
    }
    SddlDescriptor descriptor(kEngineConfigSddl);
    if (!descriptor.valid()) return fail_with(descriptor.error());
    SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor.get(), FALSE};
    // Quirk: docs/windows-quirks.md, "`CREATE_ALWAYS` keeps an old file's security".
    WinHandle file(
        CreateFileW(paths_.engine_config.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail_with(GetLastError());
    DWORD error = 0;
    if (!WriteWhole(file.get(), json, error)) return fail_with(error);
    return true;
}

bool Win32SessionFiles::shred_engine_config() {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(paths_.engine_config.c_str(), GetFileExInfoStandard, &data)) {
        return IsAbsentError(GetLastError());
    }
    // An empty file holds no secret; writing into it would need space a full disk lacks.
    if (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0) {
        WinHandle file(CreateFileW(paths_.engine_config.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        if (!WriteZeros(file.get(), data.nFileSizeLow)) return false;
    }
    return DeleteFileW(paths_.engine_config.c_str()) != FALSE;
}

bool Win32SessionFiles::engine_config_exists() {
    return GetFileAttributesW(paths_.engine_config.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Win32SessionFiles::read_pin() {
    std::string text;
    if (!ReadSmallFile(paths_.pin, text)) return std::string();
    size_t line_end = text.find('\n');
    if (line_end != std::string::npos) text.resize(line_end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return IsDottedIpv4Text(text) ? text : std::string();
}

void Win32SessionFiles::delete_pin() { DeleteFileW(paths_.pin.c_str()); }

}  // namespace vantorel
