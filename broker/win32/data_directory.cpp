#include "broker/win32/data_directory.h"

#include <windows.h>
#include <sddl.h>

#include "broker/win32/directory_security.h"

namespace vantorel {

namespace {

bool IsDirectoryPresent(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring UtcStamp() {
    SYSTEMTIME t{};
    GetSystemTime(&t);
    wchar_t text[32];
    swprintf(text, 32, L"%04u%02u%02uT%02u%02u%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

// Quirk: docs/windows-quirks.md, "ProgramData is writable by users".
// Renames `path` to "<path>.untrusted-<UTC time>[-n]"; someone may have taken a name already.
bool MoveAside(const std::wstring& path, std::wstring& moved_to, DWORD& error) {
    std::wstring stem = path + L".untrusted-" + UtcStamp();
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::wstring target = attempt == 0 ? stem : stem + L"-" + std::to_wstring(attempt);
        if (MoveFileExW(path.c_str(), target.c_str(), 0)) {
            moved_to = target;
            return true;
        }
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

class Preparation {
public:
    Preparation(const DataPaths& paths, const DataDirectoryHooks& hooks) : paths_(paths), hooks_(hooks) {}

    DataDirectoryOutcome run() {
        const bool product = secure_product();
        // Each child is handled even when the other failed, so the log can still be written.
        const bool run = product && secure_child(paths_.run);
        const bool logs = product && secure_child(paths_.logs);
        outcome_.secured = product && run && logs;
        outcome_.logs_usable = product && logs;
        return outcome_;
    }

private:
    bool fail(const char* step, const std::wstring& path, DWORD error) {
        if (outcome_.failed_step.empty()) {
            outcome_.error = error != 0 ? error : ERROR_ACCESS_DENIED;
            outcome_.failed_step = step;
            outcome_.failed_path = path;
        }
        return false;
    }

    bool set_aside(const std::wstring& path) {
        std::wstring moved_to;
        DWORD error = 0;
        if (!MoveAside(path, moved_to, error)) return fail("move_aside", path, error);
        outcome_.moved_aside = true;
        outcome_.moved_from = path;
        outcome_.moved_to = moved_to;
        if (hooks_.after_move_aside) hooks_.after_move_aside(path);
        return true;
    }

    // Someone may re-create the name between the move aside and our create: whatever then
    // stands there is examined again, and only a directory of ours goes on.
    bool create_product(const SddlDescriptor& descriptor) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor.get(), FALSE};
        if (CreateDirectoryW(paths_.product.c_str(), &sa)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) return fail("create", paths_.product, error);
        if (ExamineDirectory(paths_.product, false) != DirectoryTrust::ours) {
            return fail("foreign", paths_.product, ERROR_ALREADY_EXISTS);
        }
        return true;
    }

    bool secure_product() {
        const DirectoryTrust found = ExamineDirectory(paths_.product, false);
        if (found == DirectoryTrust::foreign && !set_aside(paths_.product)) return false;
        SddlDescriptor descriptor(kProductDirectorySddl);
        if (!descriptor.valid()) return fail("descriptor", paths_.product, descriptor.error());
        if (found != DirectoryTrust::ours && !create_product(descriptor)) return false;
        // CreateDirectory ignores the descriptor for an existing directory.
        if (DWORD error = SetOwnerAndProtectedDacl(paths_.product, descriptor)) {
            return fail("set_dacl", paths_.product, error);
        }
        if (ExamineDirectory(paths_.product, false) != DirectoryTrust::ours || HasUntrustedWriter(paths_.product)) {
            return fail("verify", paths_.product, 0);
        }
        return true;
    }

    // Inside a secured product directory only SYSTEM and administrators can create, so a run or
    // logs directory that is not ours dates from before (an older install) and goes aside whole.
    bool secure_child(const std::wstring& path) {
        const DirectoryTrust found = ExamineDirectory(path, true);
        if (found == DirectoryTrust::absent) return true;
        if (found == DirectoryTrust::foreign) return set_aside(path);
        if (!HasUntrustedWriter(path)) return true;
        if (DWORD error = ResetToInheritedDacl(path)) return fail("set_dacl", path, error);
        if (HasUntrustedWriter(path)) return fail("verify", path, 0);
        return true;
    }

    const DataPaths& paths_;
    const DataDirectoryHooks& hooks_;
    DataDirectoryOutcome outcome_;
};

}  // namespace

SddlDescriptor::SddlDescriptor(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr)) {
        descriptor_ = raw;
    } else {
        error_ = GetLastError();
        if (error_ == 0) error_ = ERROR_INVALID_PARAMETER;
    }
}

SddlDescriptor::~SddlDescriptor() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
}

std::wstring DataBaseDirectory() {
    wchar_t buffer[260];
    DWORD n = GetEnvironmentVariableW(L"ProgramData", buffer, 260);
    // n >= 260: the value did not fit (n is then the size it would need).
    if (n == 0 || n >= 260) return L"C:\\ProgramData";
    return std::wstring(buffer, n);
}

DataPaths DataPathsFor(const std::wstring& base) {
    DataPaths p;
    p.base = base;
    p.product = base + L"\\Vantorel";
    p.run = p.product + L"\\run";
    p.logs = p.product + L"\\logs";
    p.engine_config = p.run + L"\\current_session.json";
    p.ledger = p.run + L"\\ledger.txt";
    p.ledger_tmp = p.ledger + L".tmp";
    p.ledger_bad = p.run + L"\\ledger.bad";
    p.pin = p.run + L"\\pin.txt";
    p.service_log = p.logs + L"\\service.log";
    p.service_log_previous = p.service_log + L".1";
    return p;
}

DataPaths CurrentDataPaths() { return DataPathsFor(DataBaseDirectory()); }

void EnsureDirectory(const DataPaths& paths, const std::wstring& directory) {
    if (IsDirectoryPresent(directory)) return;
    if (!IsDirectoryPresent(paths.product)) {
        // Should the product directory vanish while running, it comes back protected.
        SddlDescriptor descriptor(kProductDirectorySddl);
        SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor.get(), FALSE};
        CreateDirectoryW(paths.product.c_str(), descriptor.valid() ? &sa : nullptr);
    }
    if (directory == paths.product) return;
    if (ExamineDirectory(paths.product, false) != DirectoryTrust::ours) return;
    CreateDirectoryW(directory.c_str(), nullptr);
}

// A non-administrator may create folders in ProgramData before the broker does and would then
// own ours: read the engine configuration with the profile's secrets, swap it before the engine
// (run as SYSTEM) reads it, plant files that drive cleanup, or hold it open so that it cannot be
// moved. So a directory we did not make is set aside, ours gets an owner and a protected DACL
// that everything below it inherits, and whatever cannot be made so is reported, never used.
DataDirectoryOutcome PrepareDataDirectory(const DataPaths& paths, const DataDirectoryHooks& hooks) {
    return Preparation(paths, hooks).run();
}

}  // namespace vantorel
