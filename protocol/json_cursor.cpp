#include "protocol/json_cursor.h"

#include <cstring>
#include <limits>

#include "protocol/ascii_text.h"

namespace vantorel {

namespace {

bool IsCursorSpace(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

bool IsLetter(char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }

// A non-hex character still takes its four bits, as zero; the engine never writes one.
unsigned HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return static_cast<unsigned>(ch - '0');
    if (ch >= 'a' && ch <= 'f') return static_cast<unsigned>(ch - 'a' + 10);
    if (ch >= 'A' && ch <= 'F') return static_cast<unsigned>(ch - 'A' + 10);
    return 0;
}

// Surrogates arrive here one at a time and each becomes its own three-byte sequence.
void AppendUtf8(std::string& out, unsigned unit) {
    if (unit < 0x80) {
        out += static_cast<char>(unit);
    } else if (unit < 0x800) {
        out += static_cast<char>(0xC0 | (unit >> 6));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (unit >> 12));
        out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    }
}

char UnescapeLetter(char ch) {
    switch (ch) {
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return ch;
    }
}

}  // namespace

void JsonCursor::SkipWhitespace() {
    while (pos_ < text_.size() && IsCursorSpace(text_[pos_])) ++pos_;
}

bool JsonCursor::MatchChar(char ch) {
    SkipWhitespace();
    if (pos_ >= text_.size() || text_[pos_] != ch) return false;
    ++pos_;
    return true;
}

// The end of the run of plain bytes starting at `from`: the first quote or backslash, or the
// end of the text. Most strings (keys, numbers as text) are short and end within a few bytes
// of a plain loop; longer ones go to memchr, far faster than a loop on long runs.
std::size_t JsonCursor::PlainRunEnd(std::size_t from) const {
    const std::size_t size = text_.size();
    const char* const data = text_.data();
    const std::size_t short_end = size - from < 16 ? size : from + 16;
    for (std::size_t at = from; at < short_end; ++at) {
        if (data[at] == '"' || data[at] == '\\') return at;
    }
    if (short_end == size) return size;
    const char* const begin = data + short_end;
    const std::size_t left = size - short_end;
    const void* quote = std::memchr(begin, '"', left);
    const std::size_t until = quote ? static_cast<std::size_t>(static_cast<const char*>(quote) - begin) : left;
    const void* backslash = std::memchr(begin, '\\', until);
    return short_end + (backslash ? static_cast<std::size_t>(static_cast<const char*>(backslash) - begin) : until);
}

bool JsonCursor::ReadString(std::string& out) {
    SkipWhitespace();
    if (pos_ >= text_.size() || text_[pos_] != '"') return false;
    ++pos_;
    out.clear();
    while (pos_ < text_.size()) {
        const std::size_t run_end = PlainRunEnd(pos_);
        out.append(text_, pos_, run_end - pos_);
        pos_ = run_end;
        if (pos_ >= text_.size()) return false;
        const char ch = text_[pos_++];
        if (ch == '"') return true;
        if (pos_ >= text_.size()) return false;
        const char escaped = text_[pos_++];
        if (escaped != 'u') {
            out += UnescapeLetter(escaped);
            continue;
        }
        unsigned unit = 0;
        for (int i = 0; i < 4 && pos_ < text_.size(); ++i) unit = unit * 16 + HexValue(text_[pos_++]);
        AppendUtf8(out, unit);
    }
    return false;
}

// Walks a string exactly as ReadString does, building nothing.
bool JsonCursor::SkipString() {
    SkipWhitespace();
    if (pos_ >= text_.size() || text_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < text_.size()) {
        pos_ = PlainRunEnd(pos_);
        if (pos_ >= text_.size()) return false;
        if (text_[pos_++] == '"') return true;
        if (pos_ >= text_.size()) return false;
        if (text_[pos_++] != 'u') continue;
        const std::size_t left = text_.size() - pos_;
        pos_ += left < 4 ? left : 4;
    }
    return false;
}

bool JsonCursor::ReadUnsigned(std::uint64_t& out) {
    SkipWhitespace();
    const std::size_t start = pos_;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_])) {
        const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        ++pos_;
    }
    if (pos_ == start) return false;
    // A fraction or exponent is read past; the integer part is the value.
    while (pos_ < text_.size()) {
        const char ch = text_[pos_];
        if (!IsDigit(ch) && ch != '.' && ch != 'e' && ch != 'E' && ch != '+' && ch != '-') break;
        ++pos_;
    }
    out = value;
    return true;
}

bool JsonCursor::SkipValue() { return SkipValueAt(0); }

bool JsonCursor::SkipValueAt(int depth) {
    SkipWhitespace();
    if (pos_ >= text_.size()) return false;
    const char ch = text_[pos_];
    if (ch == '"') return SkipString();
    if (ch == '[') return SkipContainer('[', ']', false, depth + 1);
    if (ch == '{') return SkipContainer('{', '}', true, depth + 1);
    if (ch == 'f' || ch == 'n' || ch == 't') {
        while (pos_ < text_.size() && IsLetter(text_[pos_])) ++pos_;
        return true;
    }
    std::uint64_t ignored = 0;
    return ReadUnsigned(ignored);
}

// `depth` counts this container; each level costs two stack frames, so the limit keeps a
// hostile text from exhausting the stack.
bool JsonCursor::SkipContainer(char open, char close, bool object, int depth) {
    if (depth > kMaxDepth) return false;
    if (!MatchChar(open)) return false;
    SkipWhitespace();
    if (Peek() == close) {
        ++pos_;
        return true;
    }
    for (;;) {
        if (object && (!SkipString() || !MatchChar(':'))) return false;
        if (!SkipValueAt(depth)) return false;
        SkipWhitespace();
        if (AtEnd()) return false;
        const char next = text_[pos_++];
        if (next == ',') continue;
        return next == close;
    }
}

}  // namespace vantorel
