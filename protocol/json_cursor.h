#pragma once
// Position-based reader for walking nested JSON without building a tree.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantorel {

class JsonCursor {
public:
    // The text must outlive the cursor.
    explicit JsonCursor(const std::string& text) : text_(text) {}

    void SkipWhitespace();
    bool MatchChar(char ch);
    bool ReadString(std::string& out);
    // Moves past a string as ReadString would, without building it.
    bool SkipString();
    bool ReadUnsigned(std::uint64_t& out);
    bool SkipValue();

    std::size_t position() const { return pos_; }
    bool AtEnd() const { return pos_ >= text_.size(); }
    // The next byte without consuming it, or '\0' at the end.
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    // Deeper nesting is refused rather than recursing without bound.
    static constexpr int kMaxDepth = 64;

private:
    std::size_t PlainRunEnd(std::size_t from) const;
    bool SkipValueAt(int depth);
    bool SkipContainer(char open, char close, bool object, int depth);

    const std::string& text_;
    std::size_t pos_ = 0;
};

}  // namespace vantorel
