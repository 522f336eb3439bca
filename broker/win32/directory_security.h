#pragma once
// Who owns a directory of ours and who may write into it: the checks and changes that keep the
// broker's data directory out of other users' hands. Windows only.

#include <cstdint>
#include <string>

namespace vantorel {

class SddlDescriptor;

// absent: nothing by that name. ours: a real directory (not a file, not a junction) owned by
// SYSTEM, Administrators or the account this process runs as, and, when its entries are
// checked, holding only entries of such owners and no junctions. foreign: anything else,
// including a directory whose security cannot be read.
enum class DirectoryTrust { absent, ours, foreign };

DirectoryTrust ExamineDirectory(const std::wstring& path, bool check_entries);

// SYSTEM, Administrators or the account this process runs as (`sid` is a PSID).
bool IsTrustedOwner(void* sid);

// Owner Administrators (SYSTEM and an elevated administrator may both set it) together with the
// descriptor's DACL, protected. Setting the DACL alone would leave a foreign owner its implicit
// right to rewrite it. 0 or the Windows error.
std::uint32_t SetOwnerAndProtectedDacl(const std::wstring& path, const SddlDescriptor& descriptor);

// True when an allow entry of the DACL (inherit-only templates included) lets anyone but
// SYSTEM, Administrators or this process's account write, delete or change security. A DACL
// that cannot be read counts as such.
bool HasUntrustedWriter(const std::wstring& path);

// Drops every explicit entry, so the directory carries only what its parent passes down.
std::uint32_t ResetToInheritedDacl(const std::wstring& path);

}  // namespace vantorel
