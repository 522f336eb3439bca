#pragma once
// An in-memory broker pipe: the test plays the broker by queueing bytes and reading writes.

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "controller/broker_pipe.h"
#include "controller/wake_signal.h"
#include "controller_test_support.h"

namespace vantorel::testing_support {

class FakeBrokerPipe final : public BrokerPipe {
public:
    // Bytes the broker sends.
    void Send(const std::string& bytes) {
        std::lock_guard<std::mutex> hold(lock_);
        incoming_ += bytes;
        changed_.notify_all();
        if (waiter_ != nullptr) waiter_->set();
    }
    // The broker closes its end; bytes already sent can still be read, as with a real pipe
    // only until they are gone.
    void Hangup() {
        std::lock_guard<std::mutex> hold(lock_);
        hung_up_ = true;
        changed_.notify_all();
        if (waiter_ != nullptr) waiter_->set();
    }
    void FailWrites() {
        std::lock_guard<std::mutex> hold(lock_);
        fail_writes_ = true;
    }
    // Fail writes after `count` more succeed.
    void FailWritesAfter(int count) {
        std::lock_guard<std::mutex> hold(lock_);
        writes_before_failure_ = count;
    }
    std::vector<std::string> writes() {
        std::lock_guard<std::mutex> hold(lock_);
        return writes_;
    }
    bool closed() {
        std::lock_guard<std::mutex> hold(lock_);
        return closed_;
    }
    std::size_t largest_read() {
        std::lock_guard<std::mutex> hold(lock_);
        return largest_read_;
    }

    bool peek(std::size_t& available) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_ || (hung_up_ && incoming_.empty())) return false;
        available = incoming_.size();
        return true;
    }
    bool read(std::size_t max_bytes, std::string& buffer) override {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return !incoming_.empty() || hung_up_ || closed_; });
        if (closed_ || incoming_.empty()) return false;
        const std::size_t n = std::min(max_bytes, incoming_.size());
        largest_read_ = std::max(largest_read_, n);
        buffer.append(incoming_, 0, n);
        incoming_.erase(0, n);
        return n > 0;
    }
    bool write_all(const std::string& bytes) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_ || fail_writes_) return false;
        if (writes_before_failure_ == 0) return false;
        if (writes_before_failure_ > 0) --writes_before_failure_;
        writes_.push_back(bytes);
        return true;
    }
    // Like the overlapped read of the real pipe: whatever arrives raises the waiter's signal.
    void wait_for_bytes_or(WakeSignal& wake) override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++waits_;
            if (closed_ || hung_up_ || !incoming_.empty()) return;
            waiter_ = &wake;
        }
        wake.wait();
        std::lock_guard<std::mutex> hold(lock_);
        waiter_ = nullptr;
    }
    // How often the relay went to sleep on the pipe.
    int waits() {
        std::lock_guard<std::mutex> hold(lock_);
        return waits_;
    }
    void close() override {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::string incoming_;
    std::vector<std::string> writes_;
    std::size_t largest_read_ = 0;
    int writes_before_failure_ = -1;
    int waits_ = 0;
    WakeSignal* waiter_ = nullptr;
    bool hung_up_ = false;
    bool fail_writes_ = false;
    bool closed_ = false;
};

// A relay's exit code once it ended; -1 if it did not end within 5 s, after which its input
// and the pipe are ended so the test does not hang.
inline int FinishRelay(std::future<int>& result, FedLineSource& input, FakeBrokerPipe& pipe) {
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        input.End();
        pipe.Hangup();
        result.wait();
        return -1;
    }
    return result.get();
}

}  // namespace vantorel::testing_support
