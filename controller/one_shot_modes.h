#pragma once
// The status and disconnect modes: one command, then wait for the answer.

#include <chrono>

#include "controller/broker_pipe.h"
#include "controller/document_sink.h"

namespace vantorel {

inline constexpr std::chrono::milliseconds kDisconnectTimeout{20000};

// Sends hello and prints whatever the broker sends first.
int RunStatusOver(BrokerPipe& pipe, DocumentSink& out);
// Sends disconnect and prints what comes back until the first state event.
int RunDisconnectOver(BrokerPipe& pipe, DocumentSink& out, std::chrono::milliseconds timeout = kDisconnectTimeout);

}  // namespace vantorel
