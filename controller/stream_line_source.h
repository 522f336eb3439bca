#pragma once
// Lines from a standard stream. Kept apart from the reader so the program, which reads its
// input handle directly, carries no stream or locale code.

#include <istream>
#include <string>

#include "controller/line_source.h"

namespace vantorel {

class StreamLineSource final : public LineSource {
public:
    explicit StreamLineSource(std::istream& in) : in_(in) {}
    bool read_line(std::string& line) override;

private:
    std::istream& in_;
};

}  // namespace vantorel
