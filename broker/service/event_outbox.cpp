#include "broker/service/event_outbox.h"

#include <utility>

namespace vantorel {

void EventOutbox::attach() {
    std::lock_guard<std::mutex> guard(mutex_);
    queue_.clear();
    attached_ = true;
}

void EventOutbox::detach() {
    std::lock_guard<std::mutex> guard(mutex_);
    attached_ = false;
}

bool EventOutbox::attached() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return attached_;
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

void EventOutbox::push(std::string document) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!attached_) return;
        queue_.push_back(std::move(document));
        wake = wake_;
    }
    if (wake) wake();
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
