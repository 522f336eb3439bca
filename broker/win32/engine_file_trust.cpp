#include "broker/win32/engine_file_trust.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "broker/portable/install_trust.h"
#include "broker/win32/directory_security.h"
#include "common/win32/win_handle.h"

namespace vantorel {
namespace {

void FreeLocal(void* p) { LocalFree(p); }
using LocalMemory = ScopedResource<void*, &FreeLocal>;

// NT SERVICE\TrustedInstaller, which owns what Windows itself installs.
constexpr wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsTrustedInstaller(PSID sid) {
    PSID raw = nullptr;
    if (!ConvertStringSidToSidW(kTrustedInstallerSid, &raw)) return false;
    LocalMemory known(raw);
    return EqualSid(sid, known.get()) != FALSE;
}

bool Trusted(PSID sid) { return sid != nullptr && IsValidSid(sid) && (IsTrustedOwner(sid) || IsTrustedInstaller(sid)); }

}  // namespace

std::string UntrustedChangeReasonOf(const std::wstring& path) {
    std::wstring name = path;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    SecurityRecord record;
    const DWORD status =
        GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &raw);
    LocalMemory descriptor(raw);
    if (status == ERROR_SUCCESS) {
        record.read = true;
        record.owner_trusted = Trusted(owner);
        record.dacl_present = dacl != nullptr;
        for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) {
                record.read = false;
                break;
            }
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            AceRecord entry;
            entry.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
            if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
                const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);  // same layout for both
                entry.type =
                    header->AceType == ACCESS_ALLOWED_ACE_TYPE ? AceRecord::Type::allow : AceRecord::Type::deny;
                entry.mask = allowed->Mask;
                entry.trusted = Trusted(const_cast<DWORD*>(&allowed->SidStart));
            } else {
                entry.type = AceRecord::Type::other;
            }
            record.aces.push_back(entry);
        }
    }
    return UntrustedChangeReason(record);
}

}  // namespace vantorel
