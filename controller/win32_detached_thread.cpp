// StartDetachedThread on Windows (declared in detached_thread.h): _beginthreadex and the handle
// closed at once, since winpthreads' detach fails on a thread that has already ended.

#include <windows.h>

#include <process.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "controller/detached_thread.h"

namespace vantorel {
namespace {

unsigned __stdcall RunWork(void* argument) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(argument));
    (*work)();
    return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    // _beginthreadex rather than CreateThread: the work uses the C runtime.
    const std::uintptr_t started = _beginthreadex(nullptr, 0, &RunWork, owned.get(), 0, nullptr);
    if (started == 0) return false;
    owned.release();
    // The thread runs on without its handle; closing it is all a "detach" needs on Windows.
    CloseHandle(reinterpret_cast<HANDLE>(started));
    return true;
}

}  // namespace vantorel
