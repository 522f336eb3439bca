// A second process writing the service log, as a --reconcile run does while the service may
// still write: the service log tests start it beside themselves.
//
//   log_writer.exe COUNT PREFIX [READY_EVENT GO_EVENT]
//
// Writes COUNT lines through Win32TunnelLog with the events PREFIX0, PREFIX1, ... into the log
// under the inherited ProgramData. With the two event names it first sets READY_EVENT and waits
// (at most 10 s) for GO_EVENT, so both processes start writing together. Exits with 0, or 2 for
// bad arguments.

#include <windows.h>

#include <cwchar>
#include <string>

#include "broker/win32/wide_text.h"
#include "broker/win32/win32_tunnel_log.h"
#include "common/win32/win_handle.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 5) return 2;
    const long count = std::wcstol(argv[1], nullptr, 10);
    if (count <= 0) return 2;
    const std::string prefix = vantorel::WideToUtf8(argv[2]);
    if (argc == 5) {
        vantorel::WinHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]));
        vantorel::WinHandle go(OpenEventW(SYNCHRONIZE, FALSE, argv[4]));
        if (!ready || !go) return 2;
        SetEvent(ready.get());
        WaitForSingleObject(go.get(), 10000);
    }
    vantorel::Win32TunnelLog log;
    for (long i = 0; i < count; ++i) log.write(7, prefix + std::to_string(i), "writer", 0);
    return 0;
}
