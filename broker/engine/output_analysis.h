#pragma once
// Reading the engine's console output: secret masking, rejection and error detection,
// TUN start-up failure classification, and the own-adapter name test.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "broker/contracts/own_adapter.h"
#include "broker/contracts/platform_records.h"

namespace vantorel {

std::string RedactSecrets(const std::string& text);
std::string RedactSecretsShort(const std::string& text);
bool IsAuthFailure(const std::string& text);
// For a Reality link only: the engine's certificate check failed, which Reality's own certificate
// never does.
bool IsRealityRefusal(const std::string& text);

// What the engine's output says of its control API listener: nothing yet, listening, or its
// listen failed (the port was taken between our reservation and the engine's bind).
enum class ApiListener { pending, listening, listen_failed };
ApiListener ReadApiListener(const std::string& text);
std::uint32_t ExtractErrorNumber(const std::string& text);
// The engine printed a FATAL line: it is about to exit, whatever it was waiting for.
bool EngineReportedFatal(const std::string& text);

struct TunDiagnosis {
    bool process_alive = false;
    std::uint32_t exit_status = 0;
    std::string output;
    bool adapters_listed = false;
    std::uint32_t list_error = 0;
    std::vector<AdapterInfo> adapters;
};

struct TunFailure {
    std::string reason;
    std::uint32_t number = 0;
};

TunFailure ClassifyTunFailure(const TunDiagnosis& diagnosis);

}  // namespace vantorel
