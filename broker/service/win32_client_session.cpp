// One client of the control pipe: frames in, commands dispatched, events out, until the client
// goes or the service stops. Declared in win32_pipe_server.h.

#include <windows.h>

#include <memory>
#include <string>

#include "broker/service/win32_pipe_server.h"
#include "broker/service/receive_buffer.h"
#include "common/win32/win_handle.h"
#include "protocol/codes.h"
#include "protocol/frames.h"

namespace vantorel {
namespace {

enum class ReadOutcome { data, nothing, ended };

class ClientSession {
public:
    ClientSession(const PipeServerContext& context, HANDLE pipe) : ctx_(context), pipe_(pipe) {}

    // Runs until the session ends; returns the Windows error at that moment.
    DWORD run() {
        read_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        // Shared with the outbox's wake function: a push on another thread may still hold a
        // copy after the session has cleared it, and must not set a closed (or reused) handle.
        auto wake = std::make_shared<WinHandle>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!read_event_ || !wake->valid()) return GetLastError();
        wake_ = wake->get();
        ctx_.core.outbox().set_wake([wake] { SetEvent(wake->get()); });
        const DWORD error = serve();
        ctx_.core.outbox().clear_wake();
        return error;
    }

private:
    DWORD serve() {
        for (;;) {
            if (ctx_.core.stopping()) {
                // Best effort: what was answered before the stop (a connect refused because the
                // service stops) still goes out; a write that cannot finish at once ends on the
                // stop event.
                const DWORD last = GetLastError();
                DWORD ignored = 0;
                flush(ignored);
                return last;
            }
            DWORD error = 0;
            if (!flush(error)) return error;
            const ReadOutcome read = read_some(error);
            if (read == ReadOutcome::ended) return error;
            if (read == ReadOutcome::data &&
                !buffer_.take_frames([this](const std::string& payload) { ctx_.core.dispatch(payload); })) {
                return GetLastError();
            }
        }
    }

    bool flush(DWORD& error) {
        std::string document;
        while (ctx_.core.outbox().take_front(document)) {
            const std::string frame = EncodeFrame(document);
            if (frame.empty()) {
                error = GetLastError();
                return false;
            }
            if (!write_frame(frame, error)) return false;
        }
        return true;
    }

    // A client that stops reading must not hold the service stop: the write also ends on the
    // stop event.
    bool write_frame(const std::string& frame, DWORD& error) {
        WinHandle written_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!written_event) {
            error = GetLastError();
            return false;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = written_event.get();
        DWORD written = 0;
        if (!WriteFile(pipe_, frame.data(), static_cast<DWORD>(frame.size()), nullptr, &overlapped)) {
            const DWORD started = GetLastError();
            if (started != ERROR_IO_PENDING) {
                error = started;
                return false;
            }
            const HANDLE waits[2] = {written_event.get(), ctx_.stop_event};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(pipe_, &overlapped);
                GetOverlappedResult(pipe_, &overlapped, &written, TRUE);
                error = ERROR_OPERATION_ABORTED;
                return false;
            }
        }
        if (!GetOverlappedResult(pipe_, &overlapped, &written, FALSE)) {
            error = GetLastError();
            return false;
        }
        if (written != frame.size()) {
            error = ERROR_WRITE_FAULT;
            return false;
        }
        return true;
    }

    ReadOutcome append(DWORD got, DWORD& error) {
        if (got == 0) {
            error = GetLastError();
            return ReadOutcome::ended;
        }
        if (!buffer_.append(chunk_, got)) {
            error = ERROR_INVALID_DATA;
            return ReadOutcome::ended;
        }
        return ReadOutcome::data;
    }

    ReadOutcome read_some(DWORD& error) {
        ResetEvent(read_event_.get());
        OVERLAPPED overlapped{};
        overlapped.hEvent = read_event_.get();
        const DWORD wanted = static_cast<DWORD>(buffer_.next_read_size());
        DWORD got = 0;
        if (ReadFile(pipe_, chunk_, wanted, nullptr, &overlapped)) {
            if (!GetOverlappedResult(pipe_, &overlapped, &got, FALSE)) {
                error = GetLastError();
                return ReadOutcome::ended;
            }
            return append(got, error);
        }
        const DWORD started = GetLastError();
        if (started != ERROR_IO_PENDING) {
            error = started;
            return ReadOutcome::ended;
        }
        // No time-out: the stop event, the client's bytes and the outbox's wake event are the
        // only things that need this thread, so an attached but quiet client costs no wake-ups.
        const HANDLE waits[3] = {ctx_.stop_event, read_event_.get(), wake_};
        const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0 + 1) {
            if (!GetOverlappedResult(pipe_, &overlapped, &got, FALSE)) {
                error = GetLastError();
                return ReadOutcome::ended;
            }
            return append(got, error);
        }
        // Whatever happens next, the read must be over before `overlapped` and `chunk_` move on.
        const bool go_on = woke == WAIT_OBJECT_0 + 2;
        error = woke == WAIT_FAILED ? GetLastError() : ERROR_OPERATION_ABORTED;
        CancelIoEx(pipe_, &overlapped);
        const bool completed = GetOverlappedResult(pipe_, &overlapped, &got, TRUE) != FALSE;
        if (!go_on) return ReadOutcome::ended;
        if (!completed || got == 0) return ReadOutcome::nothing;
        return append(got, error);
    }

    const PipeServerContext& ctx_;
    HANDLE pipe_;
    WinHandle read_event_;
    HANDLE wake_ = nullptr;
    ReceiveBuffer buffer_;
    char chunk_[ReceiveBuffer::kReadChunk];
};

}  // namespace

void RunClientSession(const PipeServerContext& context, HANDLE pipe) {
    EventOutbox& outbox = context.core.outbox();
    outbox.attach();
    context.log.write(0, "pipe_client", "ok", 0);

    ClientSession session(context, pipe);
    const DWORD end_error = session.run();

    outbox.detach();
    const long long generation = context.controller.snapshot().generation;
    context.log.write(generation, "pipe_end", "win32", end_error);
    context.log.write(generation, "detach", DisconnectReasonName(DisconnectReason::client_gone), 0);
}

}  // namespace vantorel
