#pragma once
// The input side of session mode: a thread that turns standard input into a queue of lines
// for the relay, raising the relay's wake signal for every line and at the end of input.

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "controller/line_source.h"
#include "controller/wake_signal.h"

namespace vantorel {

// Shared by the reader thread and the relay. Held through shared_ptr because the reader is
// never joined: it may still be blocked on input after the relay has returned.
struct RelayInput {
    std::mutex lock;
    std::deque<std::string> lines;
    std::atomic<bool> open{true};
    // Raised after every queued line and once at the end of input; none is fine too.
    std::shared_ptr<WakeSignal> wake;

    void push(std::string line);
    bool take_line(std::string& line);
    bool has_lines();
    void close();
};

class StdinReader {
public:
    // Queues every non-empty line, then marks the input closed. Runs on the calling thread.
    static void run(RelayInput& input, LineSource& source);
    // Runs the same on a thread of its own, never joined, that keeps both objects alive. False
    // when no thread could start.
    static bool start(std::shared_ptr<RelayInput> input, std::shared_ptr<LineSource> source);
};

}  // namespace vantorel
