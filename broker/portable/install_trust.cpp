#include "broker/portable/install_trust.h"

namespace vantorel {

std::string UntrustedChangeReason(const SecurityRecord& record) {
    if (!record.read) return "unreadable";
    if (!record.owner_trusted) return "owner";
    if (!record.dacl_present) return "no_dacl";
    for (const AceRecord& ace : record.aces) {
        if (ace.inherit_only || ace.type == AceRecord::Type::deny) continue;
        // A deny entry earlier in the list may well cancel it; judging allow entries alone errs
        // on the side of refusing.
        if (ace.type == AceRecord::Type::other) return "entry";
        if (!ace.trusted && (ace.mask & kChangingRights) != 0) return "writer";
    }
    return "";
}

}  // namespace vantorel
