#pragma once
// The bytes a client session has read but not yet dispatched. Capped at one largest frame: a
// read never asks for more than fits, and complete frames leave after every read.

#include <cstddef>
#include <functional>
#include <string>

#include "protocol/frames.h"

namespace vantorel {

class ReceiveBuffer {
public:
    static constexpr std::size_t kCapacity = kMaxFrameBytes;  // 65,540
    static constexpr std::size_t kReadChunk = 4096;

    // How many bytes the next read may ask for (never 0 while the buffer obeys its rules).
    std::size_t next_read_size() const;
    // False, appending nothing, when the bytes would pass the cap.
    bool append(const char* data, std::size_t size);
    // Hands every complete frame to `handle` in order. False when the front announces an
    // oversized frame: the connection must end.
    bool take_frames(const std::function<void(const std::string&)>& handle);
    std::size_t size() const { return bytes_.size(); }

private:
    std::string bytes_;
};

}  // namespace vantorel
