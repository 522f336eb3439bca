#pragma once
// Counts failures in a row, so the log shows the 1st and every 100th instead of each one.

namespace vantorel {

class RepeatCounter {
public:
    // Counts one more; true when this occurrence should be logged.
    bool note() {
        ++count_;
        return count_ == 1 || count_ % 100 == 0;
    }
    void clear() { count_ = 0; }
    unsigned long count() const { return count_; }

private:
    unsigned long count_ = 0;
};

// Pause before the next pipe instance after `failures` creation failures in a row.
inline int CreationRetryDelayMs(unsigned long failures) { return failures > 8 ? 2000 : 200; }

}  // namespace vantorel
