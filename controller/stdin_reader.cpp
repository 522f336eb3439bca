#include "controller/stdin_reader.h"

#include <thread>
#include <utility>

namespace vantorel {

bool StreamLineSource::ReadLine(std::string& line) {
    // A last line without a line feed still counts; only a read that yields nothing ends input.
    return static_cast<bool>(std::getline(in_, line));
}

void RelayInput::Push(std::string line) {
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(std::move(line));
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

void StdinReader::Run(RelayInput& input, LineSource& source) {
    std::string line;
    while (source.ReadLine(line)) {
        if (!line.empty()) input.Push(line);
    }
    input.open.exchange(false);
}

void StdinReader::Start(std::shared_ptr<RelayInput> input, std::shared_ptr<LineSource> source) {
    std::thread([input = std::move(input), source = std::move(source)] { Run(*input, *source); }).detach();
}

}  // namespace vantorel
