#pragma once
// Session mode: command lines from the user interface go to the broker, events from the
// broker go to standard output, and a tunnel reported ready is proven from the user's side.

#include <functional>
#include <memory>

#include "controller/broker_pipe.h"
#include "controller/document_sink.h"
#include "controller/stdin_reader.h"
#include "controller/wake_signal.h"

namespace vantorel {

// All three are required by RunSessionOver; the Windows RunSession fills in the real ones.
struct SessionIo {
    std::shared_ptr<LineSource> input;
    DocumentSink* out = nullptr;
    std::function<bool()> prove;  // the tunnel check; true when it passed
    // Raised by the input thread; the relay waits on it together with the pipe. Optional: a
    // portable signal is made when none is given (Windows gives an event).
    std::shared_ptr<WakeSignal> wake;
};

// Relays until the broker closes the pipe, a pipe operation fails, a bad frame arrives or the
// input ends; then prints the broker closed document, closes the pipe and returns 0.
int RunSessionOver(BrokerPipe& pipe, const SessionIo& io);

}  // namespace vantorel
