#include "broker/win32/data_directory.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "broker/win32/win_handle.h"

namespace vantorel {

namespace {

void FreeLocal(PSECURITY_DESCRIPTOR p) { LocalFree(p); }
using LocalDescriptor = ScopedResource<PSECURITY_DESCRIPTOR, &FreeLocal>;

bool IsDirectoryPresent(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The SID of the account this process runs as; empty when the token cannot be read.
std::vector<unsigned char> ProcessUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    WinHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    std::vector<unsigned char> copy(GetLengthSid(sid));
    if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return {};
    return copy;
}

enum class Presence { absent, ours, foreign };

// A directory counts as ours only when it is a real directory (not a file, not a junction that
// could point our DACL at somewhere else) owned by SYSTEM, Administrators or our own account.
Presence ExamineDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Presence::absent;
        return Presence::foreign;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Presence::foreign;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Presence::foreign;
    std::wstring name = path;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    DWORD status = GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                         &owner, nullptr, nullptr, nullptr, &raw);
    LocalDescriptor descriptor(raw);
    if (status != ERROR_SUCCESS) return Presence::foreign;
    return IsTrustedOwner(owner) ? Presence::ours : Presence::foreign;
}

std::wstring UtcStamp() {
    SYSTEMTIME t{};
    GetSystemTime(&t);
    wchar_t text[32];
    swprintf(text, 32, L"%04u%02u%02uT%02u%02u%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return text;
}

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

void Fail(DataDirectoryOutcome& outcome, const char* step, DWORD error) {
    if (outcome.error != 0) return;
    outcome.error = error != 0 ? error : ERROR_INVALID_FUNCTION;
    outcome.failed_step = step;
}

bool SetAsideIfForeign(const std::wstring& path, DataDirectoryOutcome& outcome) {
    if (ExamineDirectory(path) != Presence::foreign) return true;
    std::wstring moved_to;
    DWORD error = 0;
    if (!MoveAside(path, moved_to, error)) {
        Fail(outcome, "move_aside", error);
        return false;
    }
    outcome.moved_aside = true;
    outcome.moved_from = path;
    outcome.moved_to = moved_to;
    return true;
}

bool CreateProtectedProduct(const std::wstring& product, const SddlDescriptor& descriptor,
                            DataDirectoryOutcome& outcome) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), descriptor.get(), FALSE};
    if (CreateDirectoryW(product.c_str(), &sa)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && IsDirectoryPresent(product)) return true;
    Fail(outcome, "create", error);
    return false;
}

// CreateDirectory ignores the descriptor for an existing directory, so set it explicitly; this
// also re-inherits the ACEs into run, logs and their files.
bool ApplyProtectedDacl(const std::wstring& product, const SddlDescriptor& descriptor,
                        DataDirectoryOutcome& outcome) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present) {
        Fail(outcome, "descriptor", GetLastError());
        return false;
    }
    std::wstring name = product;
    DWORD status = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, dacl, nullptr);
    if (status != ERROR_SUCCESS) {
        Fail(outcome, "set_dacl", status);
        return false;
    }
    return true;
}

}  // namespace

bool IsTrustedOwner(void* sid) {
    PSID owner = static_cast<PSID>(sid);
    if (owner == nullptr || !IsValidSid(owner)) return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid)) return true;
    if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    std::vector<unsigned char> self = ProcessUserSid();
    return !self.empty() && EqualSid(owner, self.data());
}

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
    if (directory != paths.product) CreateDirectoryW(directory.c_str(), nullptr);
}

// A non-administrator may create folders in ProgramData before the broker does and would then
// own ours: read the engine configuration with the profile's secrets, swap it before the engine
// (run as SYSTEM) reads it, or plant files that drive cleanup. So a directory we did not make is
// set aside, and ours gets a protected DACL that everything below it inherits.
DataDirectoryOutcome PrepareDataDirectory(const DataPaths& paths) {
    DataDirectoryOutcome outcome;
    if (!SetAsideIfForeign(paths.product, outcome)) return outcome;
    SddlDescriptor descriptor(kProductDirectorySddl);
    if (!descriptor.valid()) {
        Fail(outcome, "descriptor", descriptor.error());
        return outcome;
    }
    if (!CreateProtectedProduct(paths.product, descriptor, outcome)) return outcome;
    if (!ApplyProtectedDacl(paths.product, descriptor, outcome)) return outcome;
    outcome.secured = true;
    // Made while the product directory was still open to users (an older install).
    SetAsideIfForeign(paths.run, outcome);
    SetAsideIfForeign(paths.logs, outcome);
    return outcome;
}

}  // namespace vantorel
