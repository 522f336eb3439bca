#include "controller/win32_broker_pipe.h"

#include <algorithm>

#include "controller/wake_signal.h"

namespace vantorel {

Win32BrokerPipe::Win32BrokerPipe(WinHandle pipe)
    : pipe_(std::move(pipe)),
      read_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      write_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void Win32BrokerPipe::start_read() {
    if (!pipe_.valid() || !read_event_.valid()) {
        broken_ = true;
        return;
    }
    ResetEvent(read_event_.get());
    read_ = OVERLAPPED{};
    read_.hEvent = read_event_.get();
    if (ReadFile(pipe_.get(), chunk_, sizeof(chunk_), nullptr, &read_) || GetLastError() == ERROR_IO_PENDING ||
        GetLastError() == ERROR_MORE_DATA) {
        reading_ = true;
        settle(false);
        return;
    }
    broken_ = true;
}

void Win32BrokerPipe::settle(bool wait) {
    if (!reading_) return;
    DWORD got = 0;
    const BOOL ok = GetOverlappedResult(pipe_.get(), &read_, &got, wait ? TRUE : FALSE);
    const DWORD error = ok ? 0 : GetLastError();
    if (!ok && error == ERROR_IO_INCOMPLETE) return;
    reading_ = false;
    // A message-mode server may hand over part of a message; the rest comes with the next read.
    if ((ok || error == ERROR_MORE_DATA) && got > 0) {
        ready_.append(chunk_, got);
        return;
    }
    broken_ = true;
}

bool Win32BrokerPipe::peek(std::size_t& available) {
    if (!pipe_.valid()) return false;
    settle(false);
    if (!ready_.empty()) {
        available = ready_.size();
        return true;
    }
    if (broken_) return false;
    if (reading_) {
        // Whatever arrives goes to the pending read first.
        available = 0;
        return true;
    }
    DWORD waiting = 0;
    if (!PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &waiting, nullptr)) return false;
    available = waiting;
    return true;
}

bool Win32BrokerPipe::read(std::size_t max_bytes, std::string& buffer) {
    if (!pipe_.valid() || max_bytes == 0) return false;
    settle(false);
    if (ready_.empty() && !broken_) {
        if (!reading_) start_read();
        settle(true);
    }
    if (ready_.empty()) return false;
    const std::size_t n = std::min(max_bytes, ready_.size());
    buffer.append(ready_, 0, n);
    ready_.erase(0, n);
    return true;
}

bool Win32BrokerPipe::write_all(const std::string& bytes) {
    if (!pipe_.valid() || !write_event_.valid()) return false;
    OVERLAPPED write{};
    write.hEvent = write_event_.get();
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &write) &&
        GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (!GetOverlappedResult(pipe_.get(), &write, &written, TRUE)) return false;
    return written == bytes.size();
}

void Win32BrokerPipe::wait_for_bytes_or(WakeSignal& wake) {
    settle(false);
    if (!ready_.empty() || broken_ || !pipe_.valid()) return;
    if (!reading_) start_read();
    if (!reading_) return;
    const HANDLE wake_event = static_cast<HANDLE>(wake.native_handle());
    if (wake_event == nullptr) {
        // No event to wait on beside the read (none could be made): fall back to the designed
        // 10 ms poll, so input still moves.
        if (WaitForSingleObject(read_event_.get(), 10) == WAIT_OBJECT_0) settle(false);
        return;
    }
    const HANDLE waits[2] = {read_event_.get(), wake_event};
    // The read stays pending when the signal wins; the next pass picks it up.
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) settle(false);
}

void Win32BrokerPipe::close() {
    if (reading_) {
        // The read must be over before its buffer and OVERLAPPED go.
        CancelIoEx(pipe_.get(), &read_);
        DWORD got = 0;
        GetOverlappedResult(pipe_.get(), &read_, &got, TRUE);
        reading_ = false;
    }
    pipe_.reset();
}

}  // namespace vantorel
