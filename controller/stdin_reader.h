#pragma once
// The input side of session mode: a thread that turns standard input into a queue of lines
// for the relay.

#include <atomic>
#include <deque>
#include <istream>
#include <memory>
#include <mutex>
#include <string>

namespace vantorel {

// A blocking source of input lines.
class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line without its line feed (a carriage return before it stays). False at the
    // end of input or on a read error.
    virtual bool ReadLine(std::string& line) = 0;
};

class StreamLineSource final : public LineSource {
public:
    explicit StreamLineSource(std::istream& in) : in_(in) {}
    bool ReadLine(std::string& line) override;

private:
    std::istream& in_;
};

// Shared by the reader thread and the relay. Held through shared_ptr because the reader is
// never joined: it may still be blocked on input after the relay has returned.
struct RelayInput {
    std::mutex lock;
    std::deque<std::string> lines;
    std::atomic<bool> open{true};

    void Push(std::string line);
    bool TakeLine(std::string& line);
    bool HasLines();
};

class StdinReader {
public:
    // Queues every non-empty line, then marks the input closed. Runs on the calling thread.
    static void Run(RelayInput& input, LineSource& source);
    // Runs the same on a detached thread that keeps both objects alive.
    static void Start(std::shared_ptr<RelayInput> input, std::shared_ptr<LineSource> source);
};

}  // namespace vantorel
