#pragma once
// The "v1" text form of the session ledger (ledger.txt). Portable: no Windows headers.

#include <string>

#include "broker/contracts/session_ledger.h"

namespace vantorel {

std::string WriteLedgerText(const SessionLedger& ledger);
// False when the text is rejected; `out` is then unspecified.
bool ParseLedgerText(const std::string& text, SessionLedger& out);
// 1 to 15 characters, only digits and dots, exactly three dots.
bool IsDottedIpv4Text(const std::string& text);
// For a text that did not parse: a disconnecting ledger naming the first "destination=" value
// when that is dotted IPv4 text. False when nothing can be salvaged.
bool SalvageLedgerText(const std::string& text, SessionLedger& out);

}  // namespace vantorel
