#include "controller/stream_line_source.h"

namespace vantorel {

bool StreamLineSource::read_line(std::string& line) {
    // A last line without a line feed still counts; only a read that yields nothing ends input.
    return static_cast<bool>(std::getline(in_, line));
}

}  // namespace vantorel
