#include "controller/detached_thread.h"

#include <system_error>
#include <thread>
#include <utility>

namespace vantorel {

bool StartDetachedThread(std::function<void()> work) {
    try {
        std::thread thread(std::move(work));
        thread.detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace vantorel
