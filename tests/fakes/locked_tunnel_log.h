#pragma once
// A FakeTunnelLog for tests where the pipe thread and the worker both write.

#include <mutex>
#include <string>
#include <vector>

#include "tests/fakes/fake_host.h"

namespace vantorel {

class LockedTunnelLog : public TunnelLog {
public:
    void write(long long generation, const std::string& event, const std::string& code, std::uint32_t win32) override {
        std::lock_guard<std::mutex> guard(mutex_);
        inner_.write(generation, event, code, win32);
    }
    bool has(const std::string& event, const std::string& code) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_.has(event, code);
    }
    std::vector<FakeLogLine> with_event(const std::string& event) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_.with_event(event);
    }
    std::vector<FakeLogLine> lines() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return inner_.lines;
    }

private:
    mutable std::mutex mutex_;
    FakeTunnelLog inner_;
};

}  // namespace vantorel
