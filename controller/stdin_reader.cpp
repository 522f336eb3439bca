#include "controller/stdin_reader.h"

#include <utility>

#include "controller/detached_thread.h"

namespace vantorel {

void RelayInput::Push(std::string line) {
    {
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(std::move(line));
    }
    if (wake) wake->Set();
}

bool RelayInput::TakeLine(std::string& line) {
    std::lock_guard<std::mutex> hold(lock);
    if (lines.empty()) return false;
    line = std::move(lines.front());
    lines.pop_front();
    return true;
}

bool RelayInput::HasLines() {
    std::lock_guard<std::mutex> hold(lock);
    return !lines.empty();
}

void RelayInput::Close() {
    open.exchange(false);
    if (wake) wake->Set();
}

void StdinReader::Run(RelayInput& input, LineSource& source) {
    std::string line;
    while (source.ReadLine(line)) {
        if (!line.empty()) input.Push(line);
    }
    input.Close();
}

bool StdinReader::Start(std::shared_ptr<RelayInput> input, std::shared_ptr<LineSource> source) {
    return StartDetachedThread([input = std::move(input), source = std::move(source)] { Run(*input, *source); });
}

}  // namespace vantorel
