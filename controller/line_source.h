#pragma once
// A blocking source of input lines: standard input in the program, a feed in tests.

#include <string>

namespace vantorel {

class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line without its line feed (a carriage return before it stays). False at the
    // end of input or on a read error.
    virtual bool read_line(std::string& line) = 0;
};

}  // namespace vantorel
