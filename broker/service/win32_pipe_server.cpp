#include "broker/service/win32_pipe_server.h"

#include "broker/service/pipe_client_rules.h"
#include "broker/service/repeat_counter.h"
#include "broker/win32/data_directory.h"
#include "common/win32/win_handle.h"

namespace vantorel {
namespace {

constexpr DWORD kPipeBufferBytes = 65536;
constexpr DWORD kPipeDefaultTimeoutMs = 5000;
constexpr DWORD kWaitRetryMs = 100;

bool IsSet(HANDLE event, DWORD wait_ms = 0) { return WaitForSingleObject(event, wait_ms) == WAIT_OBJECT_0; }

// Only ever created while the server holds no instance, so it is always the first: should
// another process already serve the name, the create fails instead of joining that pipe.
HANDLE CreateInstance(const wchar_t* name, SECURITY_ATTRIBUTES& security) {
    // Quirk: docs/windows-quirks.md, "The pipe's name must never lapse".
    return CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                            kPipeBufferBytes, kPipeBufferBytes, kPipeDefaultTimeoutMs, &security);
}

std::uint64_t PreciseSystemTime() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

struct WaitResult {
    bool connected = false;
    DWORD error = 0;            // why not (258 for a stop)
    bool keep_instance = true;  // the instance can listen again after a disconnect
};

// Waits for a client or the stop event.
WaitResult WaitForClient(HANDLE pipe, HANDLE stop_event) {
    WaitResult result;
    WinHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected) {
        result.error = ERROR_INVALID_HANDLE;
        return result;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.get();
    if (ConnectNamedPipe(pipe, &overlapped)) {
        result.connected = true;
        return result;
    }
    const DWORD started = GetLastError();
    if (started == ERROR_PIPE_CONNECTED) {
        result.connected = true;
        return result;
    }
    if (started != ERROR_IO_PENDING) {
        result.error = started;
        result.keep_instance = KeepsInstanceAfterConnectFailure(started);
        return result;
    }
    const HANDLE waits[2] = {stop_event, connected.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    DWORD unused = 0;
    if (woke == WAIT_OBJECT_0 + 1) {
        result.connected = GetOverlappedResult(pipe, &overlapped, &unused, FALSE) != FALSE;
        if (!result.connected) {
            result.error = GetLastError();
            result.keep_instance = KeepsInstanceAfterConnectFailure(result.error);
        }
        return result;
    }
    // The connect must be finished before its OVERLAPPED leaves this frame.
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
    result.error = WAIT_TIMEOUT;
    return result;
}

bool VerifyClient(const PipeServerContext& context, HANDLE pipe, std::uint64_t connected_at) {
    if (context.verify_client) return context.verify_client(pipe, connected_at);
    return IsControllerClient(pipe, connected_at);
}

}  // namespace

void RunPipeServer(const PipeServerContext& context) {
    if (context.keep_current_thread) context.keep_current_thread();

    SddlDescriptor descriptor(kPipeSddl);
    if (!descriptor.valid()) {
        context.log.write(0, "pipe_acl", "sddl", descriptor.error());
        return;
    }
    if (IsSet(context.stop_event)) return;

    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = descriptor.get();
    security.bInheritHandle = FALSE;

    RepeatCounter create_failures;
    RepeatCounter wait_failures;
    RepeatCounter rejections;
    DWORD last_failure = 0;
    // One instance for the whole run: between two clients it is disconnected and listens again,
    // so the name never lapses for another process to take.
    WinHandle pipe;

    for (;;) {
        if (!pipe) {
            pipe.reset(CreateInstance(context.pipe_name, security));
            if (!pipe) {
                last_failure = GetLastError();
                if (create_failures.note()) context.log.write(0, "pipe_create", "win32", last_failure);
                if (IsSet(context.stop_event, CreationRetryDelayMs(create_failures.count()))) return;
                continue;
            }
        }

        const WaitResult wait = WaitForClient(pipe.get(), context.stop_event);
        if (!wait.connected) {
            last_failure = wait.error;
            if (wait_failures.note()) context.log.write(0, "pipe_wait", "win32", wait.error);
            DisconnectNamedPipe(pipe.get());
            if (!wait.keep_instance) pipe.reset();
            if (IsSet(context.stop_event, kWaitRetryMs)) return;
            create_failures.clear();
            continue;
        }
        const std::uint64_t connected_at = PreciseSystemTime();
        if (wait_failures.count() > 0) context.log.write(0, "pipe_recovered", "last_win32", last_failure);

        if (VerifyClient(context, pipe.get(), connected_at)) {
            RunClientSession(context, pipe.get());
            rejections.clear();
        } else if (rejections.note()) {
            context.log.write(0, "reject_client", "not_controller", 0);
        }

        DisconnectNamedPipe(pipe.get());
        wait_failures.clear();
        create_failures.clear();
        if (IsSet(context.stop_event)) return;
    }
}

}  // namespace vantorel
