#include "protocol/frames.h"

#include <cstdint>

namespace vantorel {

namespace {

constexpr std::size_t kHeaderBytes = 4;

std::uint32_t ReadLittleEndian32(const std::string& bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = kHeaderBytes; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

}  // namespace

std::string EncodeFrame(const std::string& payload) {
    if (payload.size() > kMaxFramePayload) return std::string();
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame;
    frame.reserve(kHeaderBytes + payload.size());
    for (std::size_t i = 0; i < kHeaderBytes; ++i) frame += static_cast<char>((length >> (8 * i)) & 0xFF);
    frame += payload;
    return frame;
}

bool ExtractFrame(std::string& buffer, std::string& payload, std::string& error) {
    error.clear();
    if (buffer.size() < kHeaderBytes) return false;
    const std::uint32_t length = ReadLittleEndian32(buffer);
    if (length > kMaxFramePayload) {
        // The stream cannot be resynchronised after a bad length; the caller drops the peer.
        error = "frame";
        buffer.clear();
        return false;
    }
    if (buffer.size() < kHeaderBytes + length) return false;
    payload.assign(buffer, kHeaderBytes, length);
    buffer.erase(0, kHeaderBytes + length);
    return true;
}

}  // namespace vantorel
