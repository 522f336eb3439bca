#pragma once
// The engine control API of the stand-in: GET /connections on the port and with the secret of
// the configuration the broker wrote, answering as the engine's clash API does, with a few
// connections whose byte counters grow with time.

#include <string>

namespace vantorel::stand_in {

struct ApiSettings {
    unsigned short port = 0;
    std::string secret;
};

// Reads "external_controller":"127.0.0.1:<port>" and "secret" from the configuration text.
bool ReadApiSettings(const std::string& config, ApiSettings& out);

// The /connections document after `elapsed_ms` of running.
std::string ConnectionsDocument(unsigned long long elapsed_ms);

// The whole HTTP answer to one request head.
std::string AnswerRequest(const std::string& head, const std::string& secret, unsigned long long elapsed_ms);

// Serves on a thread of its own for the rest of the process; false when the port cannot be had.
bool StartApiServer(const ApiSettings& settings, std::string& error);

}  // namespace vantorel::stand_in
