#include "controller/one_shot_modes.h"

#include <algorithm>
#include <string>
#include <thread>

#include "controller/controller_exit_codes.h"
#include "controller/relay_rules.h"
#include "protocol/commands.h"
#include "protocol/events.h"
#include "protocol/frames.h"

namespace vantorel {

int RunStatusOver(BrokerPipe& pipe, DocumentSink& out) {
    if (!WriteFrame(pipe, kHelloCommand)) return kExitWriteFailed;
    std::string buffer;
    std::string payload;
    std::string error;
    for (;;) {
        if (!pipe.read(kPipeReadChunk, buffer)) return kExitReadFailed;
        if (ExtractFrame(buffer, payload, error)) {
            out.print(payload);
            return kExitOk;
        }
        if (!error.empty()) return kExitReadFailed;
    }
}

namespace {

enum class TakeResult { wait_more, state_seen, bad_frame };

// Prints every whole frame in `buffer`; stops right after the first state event.
TakeResult PrintFramesUntilState(std::string& buffer, DocumentSink& out) {
    std::string payload;
    std::string error;
    while (ExtractFrame(buffer, payload, error)) {
        out.print(payload);
        if (IsStateEvent(payload)) return TakeResult::state_seen;
    }
    return error.empty() ? TakeResult::wait_more : TakeResult::bad_frame;
}

}  // namespace

int RunDisconnectOver(BrokerPipe& pipe, DocumentSink& out, std::chrono::milliseconds timeout) {
    if (!WriteFrame(pipe, kDisconnectCommand)) return kExitWriteFailed;
    const auto started = std::chrono::steady_clock::now();
    std::string buffer;
    std::size_t available = 0;
    while (pipe.peek(available)) {
        if (available > 0) {
            if (!pipe.read(std::min(available, kPipeReadChunk), buffer)) return kExitReadFailed;
            switch (PrintFramesUntilState(buffer, out)) {
                case TakeResult::state_seen:
                    return kExitOk;
                case TakeResult::bad_frame:
                    return kExitDisconnectFailed;
                case TakeResult::wait_more:
                    break;
            }
            continue;
        }
        if (std::chrono::steady_clock::now() - started >= timeout) {
            out.print(DisconnectTimeoutDocument());
            return kExitDisconnectFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return kExitReadFailed;
}

}  // namespace vantorel
