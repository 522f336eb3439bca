// Who is at the other end of the pipe: only a controller started from the installed path (or
// from beside the broker) gets state; declared in win32_pipe_server.h.

#include <windows.h>

#include <string>

#include "broker/service/controller_path_rule.h"
#include "broker/service/pipe_client_rules.h"
#include "broker/service/win32_pipe_server.h"
#include "broker/win32/wide_text.h"
#include "common/win32/process_image.h"
#include "common/win32/win_handle.h"

namespace vantorel {
namespace {

std::uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The process now holding the client's id must be the one that connected: the handle opened
// here keeps that id from being reused while the path is read.
bool ClientImagePath(HANDLE pipe, std::uint64_t connected_at, std::wstring& path) {
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(pipe, &pid)) return false;
    WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return false;
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    // Quirk: docs/windows-quirks.md, "A process id is only a number".
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return false;
    if (!ClientStartedBeforeConnect(FileTimeValue(created), connected_at)) return false;
    return ProcessImagePath(process.get(), path);
}

}  // namespace

bool IsControllerClient(HANDLE pipe, std::uint64_t connected_at) {
    std::wstring image;
    if (!ClientImagePath(pipe, connected_at, image)) return false;
    PathComparison comparison;
    comparison.normalise = FullPathOf;
    comparison.equal_ignoring_case = SamePathIgnoringCase;
    return IsControllerImagePath(image, DirectoryOf(OwnExecutablePath()), comparison);
}

}  // namespace vantorel
