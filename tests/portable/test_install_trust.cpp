#include "broker/portable/install_trust.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

using Type = AceRecord::Type;

SecurityRecord Secured(std::vector<AceRecord> extra = {}) {
    SecurityRecord record{true,
                          true,
                          true,
                          {{Type::allow, true, 0x1f01ff, false},      // SYSTEM full control
                           {Type::allow, true, 0x1f01ff, false},      // Administrators
                           {Type::allow, false, 0x1200a9, false},     // Users read and execute
                           {Type::allow, false, 0xa0000000, true}}};  // CREATOR OWNER template
    record.aces.insert(record.aces.end(), extra.begin(), extra.end());
    return record;
}

TEST(InstallTrust, OnlyTrustedPrincipalsMayChangeTheEngine) {
    SecurityRecord unreadable;
    SecurityRecord foreign_owner = Secured();
    foreign_owner.owner_trusted = false;
    SecurityRecord no_dacl = Secured();
    no_dacl.dacl_present = false;
    no_dacl.aces.clear();
    const struct {
        const char* name;
        SecurityRecord record;
        const char* reason;
    } rows[] = {
        {"Program Files as installed", Secured(), ""},
        {"unreadable", unreadable, "unreadable"},
        {"owned by a user", foreign_owner, "owner"},
        {"no DACL", no_dacl, "no_dacl"},
        {"C:\\ root: users may modify", Secured({{Type::allow, false, 0x1301bf, false}}), "writer"},
        {"users may create files", Secured({{Type::allow, false, 0x2, false}}), "writer"},
        {"users may add folders", Secured({{Type::allow, false, 0x4, false}}), "writer"},
        {"users may delete children", Secured({{Type::allow, false, 0x40, false}}), "writer"},
        {"users may delete", Secured({{Type::allow, false, 0x10000, false}}), "writer"},
        {"users may change the DACL", Secured({{Type::allow, false, 0x40000, false}}), "writer"},
        {"users may take ownership", Secured({{Type::allow, false, 0x80000, false}}), "writer"},
        {"generic write", Secured({{Type::allow, false, 0x40000000, false}}), "writer"},
        {"generic all", Secured({{Type::allow, false, 0x10000000, false}}), "writer"},
        {"write attributes only", Secured({{Type::allow, false, 0x100, false}}), ""},
        {"a template for children only", Secured({{Type::allow, false, 0x1f01ff, true}}), ""},
        {"denied to users", Secured({{Type::deny, false, 0x1f01ff, false}}), ""},
        {"an object entry", Secured({{Type::other, false, 0x1, false}}), "entry"},
        {"TrustedInstaller full control", Secured({{Type::allow, true, 0x10000000, false}}), ""},
    };
    for (const auto& row : rows) EXPECT_EQ(UntrustedChangeReason(row.record), row.reason) << row.name;
}

}  // namespace
}  // namespace vantorel
