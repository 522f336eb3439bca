#pragma once
// Reads a written document with an independent parser, keeping key order.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantorel::test {

inline nlohmann::ordered_json ParseDocument(const std::string& text) { return nlohmann::ordered_json::parse(text); }

inline std::vector<std::string> KeysOf(const nlohmann::ordered_json& doc) {
    std::vector<std::string> keys;
    for (auto it = doc.begin(); it != doc.end(); ++it) keys.push_back(it.key());
    return keys;
}

}  // namespace vantorel::test
