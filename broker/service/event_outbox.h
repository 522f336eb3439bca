#pragma once
// Event documents waiting for the attached pipe client. Any thread may push; only the pipe
// thread takes. Nothing is kept while no client is attached.

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace vantorel {

class EventOutbox {
public:
    // A new client session: forget what earlier sessions left and start collecting.
    void attach();
    void detach();
    bool attached() const;
    // The number of the attached client session (each attach takes the next), 0 while none is.
    unsigned long long client() const;

    // Called after the document is queued, outside the lock, to cut a pending read short.
    // The function must stay safe to call after clear_wake() (it may already be copied).
    void set_wake(std::function<void()> wake);
    void clear_wake();

    // The number of the client session the document was queued for, 0 when it was dropped.
    unsigned long long push(std::string document);
    // The front document, or false when the queue is empty.
    bool take_front(std::string& document);
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::string> queue_;
    std::function<void()> wake_;
    unsigned long long client_ = 0;  // 0: detached
    unsigned long long sessions_ = 0;
};

}  // namespace vantorel
