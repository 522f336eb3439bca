#include "broker/win32/directory_security.h"

#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "broker/win32/data_directory.h"
#include "common/win32/win_handle.h"

namespace vantorel {

namespace {

void FreeLocal(PSECURITY_DESCRIPTOR p) { LocalFree(p); }
using LocalDescriptor = ScopedResource<PSECURITY_DESCRIPTOR, &FreeLocal>;
using FindHandle = ScopedResource<HANDLE, &FindClose>;

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

std::vector<unsigned char> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

bool HasTrustedOwner(const std::wstring& path) {
    std::wstring name = path;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    DWORD status = GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &raw);
    LocalDescriptor descriptor(raw);
    return status == ERROR_SUCCESS && IsTrustedOwner(owner);
}

bool IsJunctionOrLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// A file planted here before the directory was ours (a ledger, a pin file, a log that is a
// link elsewhere) would steer what SYSTEM reads or writes.
bool EntriesAreOurs(const std::wstring& path) {
    WIN32_FIND_DATAW entry{};
    const HANDLE first = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (first == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    FindHandle find(first);
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (IsJunctionOrLink(entry.dwFileAttributes)) return false;
        if (!HasTrustedOwner(path + L"\\" + name)) return false;
    } while (FindNextFileW(find.get(), &entry));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                               FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

}  // namespace

bool IsTrustedOwner(void* sid) {
    PSID owner = static_cast<PSID>(sid);
    if (owner == nullptr || !IsValidSid(owner)) return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid)) return true;
    if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    std::vector<unsigned char> self = ProcessUserSid();
    return !self.empty() && EqualSid(owner, self.data());
}

DirectoryTrust ExamineDirectory(const std::wstring& path, bool check_entries) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return DirectoryTrust::absent;
        return DirectoryTrust::foreign;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || IsJunctionOrLink(attributes)) return DirectoryTrust::foreign;
    if (!HasTrustedOwner(path)) return DirectoryTrust::foreign;
    if (check_entries && !EntriesAreOurs(path)) return DirectoryTrust::foreign;
    return DirectoryTrust::ours;
}

std::uint32_t SetOwnerAndProtectedDacl(const std::wstring& path, const SddlDescriptor& descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor.valid() || !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    std::vector<unsigned char> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    if (administrators.empty()) return GetLastError() != 0 ? GetLastError() : ERROR_INVALID_SID;
    std::wstring name = path;
    // Also re-inherits the new entries into everything below that is not protected itself.
    return SetNamedSecurityInfoW(
        name.data(), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        administrators.data(), nullptr, dacl, nullptr);
}

bool HasUntrustedWriter(const std::wstring& path) {
    std::wstring name = path;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    DWORD status = GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         &dacl, nullptr, &raw);
    LocalDescriptor descriptor(raw);
    // No DACL at all grants everyone everything.
    if (status != ERROR_SUCCESS || dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return true;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return true;  // object or callback entries: not ours
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kWriteRights) == 0) continue;
        if (!IsTrustedOwner(&allowed->SidStart)) return true;
    }
    return false;
}

std::uint32_t ResetToInheritedDacl(const std::wstring& path) {
    ACL empty{};
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION)) return GetLastError();
    std::wstring name = path;
    return SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 &empty, nullptr);
}

}  // namespace vantorel
