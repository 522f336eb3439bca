#include "protocol/json_writer.h"

#include <cstdio>

namespace vantorel {

namespace {

void AppendEscapedByte(std::string& out, unsigned char byte) {
    switch (byte) {
        case 0x09:
            out += "\\t";
            return;
        case 0x0A:
            out += "\\n";
            return;
        case 0x0D:
            out += "\\r";
            return;
        case 0x22:
            out += "\\\"";
            return;
        case 0x5C:
            out += "\\\\";
            return;
        default:
            break;
    }
    if (byte < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(byte));
        out += buffer;
        return;
    }
    // Bytes from 0x20 up, UTF-8 sequences included, pass through untouched.
    out += static_cast<char>(byte);
}

}  // namespace

std::string JsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char ch : text) AppendEscapedByte(out, static_cast<unsigned char>(ch));
    return out;
}

std::string JsonQuoteOrNull(const std::string& text) {
    if (text.empty()) return "null";
    std::string out;
    out.reserve(text.size() + 10);
    out += '"';
    out += JsonEscape(text);
    out += '"';
    return out;
}

}  // namespace vantorel
