#pragma once
// The controller's modes over an open broker pipe, and the program entry. Windows only.

#include <chrono>
#include <string>
#include <vector>

#include "common/win32/win_handle.h"
#include "controller/document_sink.h"
#include "controller/one_shot_modes.h"
#include "controller/session_relay.h"

namespace vantorel {

// Each mode owns the pipe and closes it before returning.
int RunStatus(WinHandle pipe, DocumentSink& out = StandardOutput());
int RunDisconnect(WinHandle pipe, DocumentSink& out = StandardOutput(),
                  std::chrono::milliseconds timeout = kDisconnectTimeout);
// Empty members of `io` fall back to standard input, standard output and ProveTunnel().
int RunSession(WinHandle pipe, SessionIo io = SessionIo());

// The whole program: mode from `args`, broker connection, mode run; returns the exit code.
int RunController(const std::vector<std::wstring>& args);

}  // namespace vantorel
