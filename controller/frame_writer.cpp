// WriteFrame (declared in broker_pipe.h): one length-prefixed frame at a time onto the pipe,
// whichever thread writes.

#include <mutex>

#include "controller/broker_pipe.h"
#include "protocol/frames.h"

namespace vantorel {

bool WriteFrame(BrokerPipe& pipe, const std::string& payload) {
    const std::string frame = EncodeFrame(payload);
    if (frame.empty()) return false;
    static std::mutex write_lock;
    std::lock_guard<std::mutex> hold(write_lock);
    return pipe.write_all(frame);
}

}  // namespace vantorel
