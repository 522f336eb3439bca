#pragma once
// WakeSignal over an auto-reset event, so the relay can wait on it together with the pipe's
// read. Windows only.

#include "common/win32/win_handle.h"
#include "controller/wake_signal.h"

namespace vantorel {

class Win32WakeSignal final : public WakeSignal {
public:
    Win32WakeSignal() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    bool valid() const { return event_.valid(); }
    void set() override { SetEvent(event_.get()); }
    void wait() override { WaitForSingleObject(event_.get(), INFINITE); }
    void* native_handle() override { return event_.get(); }

private:
    WinHandle event_;
};

}  // namespace vantorel
