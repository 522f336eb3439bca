#pragma once
// The running service object as the control handler sees it. The handler runs on the control
// manager's thread and may be inside a use while the service thread withdraws the object;
// withdraw() waits for that use to end, so the object is never used after it is destroyed.

#include <mutex>

namespace vantorel {

template <typename Service>
class PublishedService {
public:
    void publish(Service* service) {
        std::lock_guard<std::mutex> guard(mutex_);
        service_ = service;
    }

    // After this returns no use is running and none will start until the next publish.
    void withdraw() {
        std::lock_guard<std::mutex> guard(mutex_);
        service_ = nullptr;
    }

    // Runs `use` with the live service; false, without running it, when none is published.
    template <typename Use>
    bool use(Use&& use) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (service_ == nullptr) return false;
        use(*service_);
        return true;
    }

private:
    std::mutex mutex_;
    Service* service_ = nullptr;
};

}  // namespace vantorel
