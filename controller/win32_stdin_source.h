#pragma once
// Standard input read straight from its handle. Windows only.

#include <windows.h>

#include <string>

#include "controller/stdin_reader.h"

namespace vantorel {

// Reads with ReadFile rather than the C runtime: the reader thread is left blocked when the
// relay ends, and a thread blocked inside the runtime's read holds the stream's lock, which
// the runtime's exit path may want. Raw reads also keep a carriage return as it came.
class Win32StdinLineSource final : public LineSource {
public:
    // The handle is not owned.
    explicit Win32StdinLineSource(HANDLE input = GetStdHandle(STD_INPUT_HANDLE)) : input_(input) {}
    bool read_line(std::string& line) override;

private:
    HANDLE input_;
    std::string pending_;
    bool ended_ = false;
};

}  // namespace vantorel
