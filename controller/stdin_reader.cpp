#include "controller/stdin_reader.h"

#include <utility>

#include "controller/detached_thread.h"

namespace vantorel {

void RelayInput::push(std::string line) {
    {
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(std::move(line));
    }
    if (wake) wake->set();
}

bool RelayInput::take_line(std::string& line) {
    std::lock_guard<std::mutex> hold(lock);
    if (lines.empty()) return false;
    line = std::move(lines.front());
    lines.pop_front();
    return true;
}

bool RelayInput::has_lines() {
    std::lock_guard<std::mutex> hold(lock);
    return !lines.empty();
}

void RelayInput::close() {
    open.exchange(false);
    if (wake) wake->set();
}

void StdinReader::run(RelayInput& input, LineSource& source) {
    std::string line;
    while (source.read_line(line)) {
        if (!line.empty()) input.push(line);
    }
    input.close();
}

bool StdinReader::start(std::shared_ptr<RelayInput> input, std::shared_ptr<LineSource> source) {
    return StartDetachedThread([input = std::move(input), source = std::move(source)] { run(*input, *source); });
}

}  // namespace vantorel
