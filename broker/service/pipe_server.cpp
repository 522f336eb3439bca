#include "broker/service/pipe_server.h"

#include "broker/service/repeat_counter.h"
#include "broker/win32/data_directory.h"
#include "broker/win32/win_handle.h"

namespace vantorel {
namespace {

constexpr DWORD kPipeBufferBytes = 65536;
constexpr DWORD kPipeDefaultTimeoutMs = 5000;
constexpr DWORD kWaitRetryMs = 100;

bool IsSet(HANDLE event, DWORD wait_ms = 0) { return WaitForSingleObject(event, wait_ms) == WAIT_OBJECT_0; }

HANDLE CreateInstance(SECURITY_ATTRIBUTES& security) {
    return CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                            kPipeBufferBytes, kPipeBufferBytes, kPipeDefaultTimeoutMs, &security);
}

// Waits for a client or the stop event. On failure `error` holds why (258 for a stop).
bool WaitForClient(HANDLE pipe, HANDLE stop_event, DWORD& error) {
    WinHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.get();
    if (ConnectNamedPipe(pipe, &overlapped)) return true;
    const DWORD started = GetLastError();
    if (started == ERROR_PIPE_CONNECTED) return true;
    if (started != ERROR_IO_PENDING) {
        error = started;
        return false;
    }
    const HANDLE waits[2] = {stop_event, connected.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    DWORD unused = 0;
    if (woke == WAIT_OBJECT_0 + 1) {
        if (GetOverlappedResult(pipe, &overlapped, &unused, FALSE)) return true;
        error = GetLastError();
        return false;
    }
    // The connect must be finished before its OVERLAPPED leaves this frame.
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
    error = WAIT_TIMEOUT;
    return false;
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

    for (;;) {
        WinHandle pipe(CreateInstance(security));
        if (!pipe) {
            last_failure = GetLastError();
            if (create_failures.note()) context.log.write(0, "pipe_create", "win32", last_failure);
            if (IsSet(context.stop_event, CreationRetryDelayMs(create_failures.count()))) return;
            continue;
        }

        DWORD wait_error = 0;
        if (!WaitForClient(pipe.get(), context.stop_event, wait_error)) {
            last_failure = wait_error;
            if (wait_failures.note()) context.log.write(0, "pipe_wait", "win32", wait_error);
            DisconnectNamedPipe(pipe.get());
            pipe.reset();
            if (IsSet(context.stop_event, kWaitRetryMs)) return;
            create_failures.clear();
            continue;
        }
        if (wait_failures.count() > 0) context.log.write(0, "pipe_recovered", "last_win32", last_failure);

        if (IsControllerClient(pipe.get())) {
            RunClientSession(context, pipe.get());
            rejections.clear();
        } else if (rejections.note()) {
            context.log.write(0, "reject_client", "not_controller", 0);
        }

        DisconnectNamedPipe(pipe.get());
        pipe.reset();
        wait_failures.clear();
        create_failures.clear();
        if (IsSet(context.stop_event)) return;
    }
}

}  // namespace vantorel
