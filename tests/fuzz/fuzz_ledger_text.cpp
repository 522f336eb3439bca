// The ledger file as read back after a crash: whatever parses is written out and read again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "broker/portable/ledger_text.h"
#include "fuzz_check.h"

using namespace vantorel;

namespace {

// What the writer does to a text value: no line break or '=' survives.
std::string Cleaned(std::string value) {
    for (char& ch : value) {
        if (ch == '\n' || ch == '\r' || ch == '=') ch = ' ';
    }
    return value;
}

bool Same(const SessionLedger& a, const SessionLedger& b) {
    if (a.routes.size() != b.routes.size()) return false;
    for (std::size_t i = 0; i < a.routes.size(); ++i) {
        const CaptureRoute& x = a.routes[i];
        const CaptureRoute& y = b.routes[i];
        if (Cleaned(x.destination) != y.destination || x.prefix_length != y.prefix_length ||
            x.interface_luid != y.interface_luid || x.interface_index != y.interface_index) {
            return false;
        }
    }
    return a.generation == b.generation && a.phase == b.phase && a.pid == b.pid &&
           a.cleanup_verified == b.cleanup_verified && a.pin_intended == b.pin_intended &&
           Cleaned(a.pin.destination) == b.pin.destination && a.pin.interface_luid == b.pin.interface_luid &&
           a.pin.interface_index == b.pin.interface_index && a.pin.physical_index == b.pin.physical_index &&
           Cleaned(a.pin.next_hop) == b.pin.next_hop && a.pin.metric == b.pin.metric &&
           a.adapter_known == b.adapter_known && Cleaned(a.adapter.name) == b.adapter.name &&
           Cleaned(a.adapter.guid) == b.adapter.guid && a.adapter.luid == b.adapter.luid &&
           a.adapter.index == b.adapter.index && a.config_written == b.config_written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SessionLedger ledger;
    if (ParseLedgerText(text, ledger)) {
        FUZZ_CHECK(text.compare(0, 2, "v1") == 0, "a ledger without its version line");
        const std::string written = WriteLedgerText(ledger);
        SessionLedger again;
        FUZZ_CHECK(ParseLedgerText(written, again), "a written ledger does not parse");
        FUZZ_CHECK(Same(ledger, again), "a ledger changed on its way through the file");
        FUZZ_CHECK(WriteLedgerText(again) == written, "writing is not stable");
    }
    SessionLedger salvaged;
    if (SalvageLedgerText(text, salvaged)) {
        FUZZ_CHECK(IsDottedIpv4Text(salvaged.pin.destination), "salvaged a destination that is not IPv4 text");
        FUZZ_CHECK(salvaged.phase == SessionState::disconnecting && salvaged.pin_intended, "salvaged record");
        FUZZ_CHECK(text.find("destination=" + salvaged.pin.destination) != std::string::npos, "salvage invented");
    }
    return 0;
}
