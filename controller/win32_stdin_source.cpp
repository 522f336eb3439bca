#include "controller/win32_stdin_source.h"

namespace vantorel {

bool Win32StdinLineSource::read_line(std::string& line) {
    for (;;) {
        const std::size_t feed = pending_.find('\n');
        if (feed != std::string::npos) {
            line.assign(pending_, 0, feed);
            pending_.erase(0, feed + 1);
            return true;
        }
        if (ended_) break;
        char chunk[4096];
        DWORD got = 0;
        if (input_ == nullptr || input_ == INVALID_HANDLE_VALUE ||
            !ReadFile(input_, chunk, sizeof(chunk), &got, nullptr) || got == 0) {
            ended_ = true;
            continue;
        }
        pending_.append(chunk, got);
    }
    // A last line without a line feed still counts.
    if (pending_.empty()) return false;
    line = std::move(pending_);
    pending_.clear();
    return true;
}

}  // namespace vantorel
