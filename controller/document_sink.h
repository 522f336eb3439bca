#pragma once
// Where the controller prints documents: one per line, flushed at once, because the user
// interface acts on each line as it arrives.

#include <string>

namespace vantorel {

class DocumentSink {
public:
    virtual ~DocumentSink() = default;
    // Writes the document unchanged, then a line feed.
    virtual void print(const std::string& document) = 0;
};

// The process's standard output. On Windows the entry switches it to binary mode first, so
// the line feed is not turned into CR LF.
DocumentSink& StandardOutput();

}  // namespace vantorel
