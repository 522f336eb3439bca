#pragma once
// Invariant checks inside fuzz targets: a broken invariant is a finding, so it aborts with a
// message and libFuzzer keeps the input that caused it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, what)                                                            \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace vantorel::fuzz {

// The log's short form of the engine's output is its end: a run of the long form, unless the long
// form ends in more blank space than its 4096 bytes leave room for beside the short one.
inline bool ShortFormInTail(const std::string& redacted, const std::string& shortened) {
    std::size_t blank = 0;
    while (blank < redacted.size() &&
           std::string(" \t\v\f").find(redacted[redacted.size() - 1 - blank]) != std::string::npos) {
        ++blank;
    }
    return shortened.empty() || redacted.find(shortened) != std::string::npos || blank + 256 > 4096;
}

// Takes bytes off the front of the input for choices the target makes.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() {
        if (pos_ >= size_) return 0;
        return data_[pos_++];
    }
    // Up to `count` bytes, or what is left.
    std::string Take(std::size_t count) {
        const std::size_t n = count < size_ - pos_ ? count : size_ - pos_;
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }
    std::string Rest() { return Take(size_ - pos_); }
    bool Empty() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace vantorel::fuzz
