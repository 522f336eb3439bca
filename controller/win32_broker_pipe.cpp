#include "controller/win32_broker_pipe.h"

namespace vantorel {

bool Win32BrokerPipe::Peek(std::size_t& available) {
    DWORD waiting = 0;
    if (!pipe_.valid() || !PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &waiting, nullptr)) return false;
    available = waiting;
    return true;
}

bool Win32BrokerPipe::Read(std::size_t max_bytes, std::string& buffer) {
    if (!pipe_.valid() || max_bytes == 0) return false;
    const std::size_t old_size = buffer.size();
    buffer.resize(old_size + max_bytes);
    DWORD got = 0;
    const BOOL ok = ReadFile(pipe_.get(), buffer.data() + old_size, static_cast<DWORD>(max_bytes), &got, nullptr);
    // A message-mode server may hand over part of a message; the rest comes with the next read.
    const bool read_ok = ok || GetLastError() == ERROR_MORE_DATA;
    buffer.resize(old_size + (read_ok ? got : 0));
    return read_ok && got > 0;
}

bool Win32BrokerPipe::WriteAll(const std::string& bytes) {
    if (!pipe_.valid()) return false;
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return false;
    return written == bytes.size();
}

}  // namespace vantorel
