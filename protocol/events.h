#pragma once
// Event documents the broker sends, and the documents the controller prints itself.

#include <cstdint>
#include <string>

#include "protocol/tunnel_snapshot.h"

namespace vantorel {

std::string WriteAckEvent(const std::string& command, bool accepted, long long generation, const std::string& code,
                          const std::string& message);
std::string WriteStateEvent(const TunnelSnapshot& snapshot);
std::string WriteTunReadyEvent(long long generation);

// Controller-side documents (printed, never sent on the pipe).
std::string BrokerBusyDocument();
std::string BrokerUnavailableDocument(std::uint32_t win32);
std::string ClientErrorDocument(const std::string& code);
std::string BrokerClosedDocument();
std::string DisconnectTimeoutDocument();
// The code a client error carries for a reader error name: the name when it is non-empty and
// only ASCII letters, digits and '_', else "protocol".
std::string ClientErrorCode(const std::string& parser_error);

}  // namespace vantorel
