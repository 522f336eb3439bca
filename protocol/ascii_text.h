#pragma once
// Character classes and case folding for the ASCII texts the wire, the ledger, profile links and
// the engine's output carry. Locale-free on purpose: <cctype> follows the process's locale.

#include <string>

namespace vantorel {

// The six characters isspace() takes in the "C" locale.
constexpr bool IsClassicSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

constexpr bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// A-Z to a-z; every other byte (UTF-8 included) as it is.
inline std::string AsciiLower(std::string text) {
    for (char& ch : text) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return text;
}

}  // namespace vantorel
