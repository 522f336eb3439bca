#pragma once
// Whether the engine's folder and executable may be trusted: the broker starts sing-box.exe as
// SYSTEM, so anyone who can change either runs code as SYSTEM. The Windows layer reads the
// security descriptor into these records; the decision is portable.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel {

struct AceRecord {
    enum class Type { allow, deny, other };  // other: object or callback entries, not expected here
    Type type = Type::allow;
    bool trusted = false;       // SYSTEM, Administrators, TrustedInstaller or the broker's own account
    std::uint32_t mask = 0;     // the access mask as stored (generic rights not mapped)
    bool inherit_only = false;  // a template for children, not applied to the object itself
};

struct SecurityRecord {
    bool read = false;           // the descriptor could be read
    bool owner_trusted = false;  // an owner may always rewrite the DACL
    bool dacl_present = false;   // no DACL grants everyone everything
    std::vector<AceRecord> aces;
};

// Rights that change a file or folder, its contents or who may: write, append, extended
// attributes, delete, delete child, change security or owner, and the generic write and all.
inline constexpr std::uint32_t kChangingRights =
    0x2u | 0x4u | 0x10u | 0x40u | 0x10000u | 0x40000u | 0x80000u | 0x40000000u | 0x10000000u;

// "" when only trusted principals can change the object, else why not: "unreadable", "owner",
// "no_dacl", "entry" (an entry of an unexpected kind) or "writer".
std::string UntrustedChangeReason(const SecurityRecord& record);

}  // namespace vantorel
