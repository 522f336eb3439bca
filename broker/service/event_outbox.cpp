#include "broker/service/event_outbox.h"

#include <utility>

namespace vantorel {

void EventOutbox::attach() {
    std::lock_guard<std::mutex> guard(mutex_);
    queue_.clear();
    client_ = ++sessions_;
}

void EventOutbox::detach() {
    std::lock_guard<std::mutex> guard(mutex_);
    client_ = 0;
}

unsigned long long EventOutbox::client() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return client_;
}

bool EventOutbox::attached() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return client_ != 0;
}

void EventOutbox::set_wake(std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(mutex_);
    wake_ = std::move(wake);
}

void EventOutbox::clear_wake() {
    std::function<void()> old;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        old.swap(wake_);
    }
}

unsigned long long EventOutbox::push(std::string document) {
    std::function<void()> wake;
    unsigned long long client = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (client_ == 0) return 0;
        queue_.push_back(std::move(document));
        wake = wake_;
        client = client_;
    }
    if (wake) wake();
    return client;
}

bool EventOutbox::take_front(std::string& document) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (queue_.empty()) return false;
    document = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

std::size_t EventOutbox::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return queue_.size();
}

}  // namespace vantorel
