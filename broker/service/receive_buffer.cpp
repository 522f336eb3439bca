#include "broker/service/receive_buffer.h"

namespace vantorel {

std::size_t ReceiveBuffer::next_read_size() const {
    const std::size_t room = bytes_.size() < kCapacity ? kCapacity - bytes_.size() : 0;
    return room < kReadChunk ? room : kReadChunk;
}

bool ReceiveBuffer::append(const char* data, std::size_t size) {
    if (size > kCapacity - bytes_.size()) return false;
    bytes_.append(data, size);
    return true;
}

bool ReceiveBuffer::take_frames(const std::function<void(const std::string&)>& handle) {
    for (;;) {
        std::string payload;
        std::string error;
        if (ExtractFrame(bytes_, payload, error)) {
            handle(payload);
            continue;
        }
        return error.empty();
    }
}

}  // namespace vantorel
