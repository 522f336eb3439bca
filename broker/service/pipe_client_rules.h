#pragma once
// Decisions of the pipe server that need no Windows call: whether a failed wait for a client
// leaves the pipe instance usable, and whether the process behind a connection can be the one
// that connected. Plain numbers, so they are checked without Windows.

#include <cstdint>

namespace vantorel {

// After a failed connect the server disconnects and listens again on the same instance when the
// failure came from the client's side or from a stop; only an instance that is itself broken is
// closed. Closing frees the pipe's name for any local process to create first.
bool KeepsInstanceAfterConnectFailure(std::uint32_t error);

// Times in 100 ns units since 1601 (FILETIME). A process id is only a number: by the time the
// server looks it up, the client may be gone and its id given to a process started later. Such
// a process cannot be the client; one started at or before the moment the connection completed
// can.
bool ClientStartedBeforeConnect(std::uint64_t process_created, std::uint64_t connected_at);

}  // namespace vantorel
