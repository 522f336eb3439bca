#pragma once
// How the controller reads the broker's events and the user interface's command lines.
// Events are recognised by plain substring tests, the same way the broker writes them.

#include <string>

namespace vantorel {

bool IsStateEvent(const std::string& payload);
// A state event that reports the idle state: the session the controller may have proven is over.
bool IsIdleStateEvent(const std::string& payload);
bool IsTunReadyEvent(const std::string& payload);

// The signed number after "generation": in a tun_ready payload; 0 when the key is missing,
// no digit follows or the number does not fit 64 bits.
long long ReadTunReadyGeneration(const std::string& payload);

struct LineDecision {
    bool forward = false;
    std::string client_error_code;  // set when the line is answered locally instead
};

// A line is forwarded only when the command reader accepts it with protocol version 3.
LineDecision DecideInputLine(const std::string& line);

}  // namespace vantorel
