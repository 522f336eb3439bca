#include "broker/win32/win32_engine.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "broker/engine/engine_privileges.h"
#include "broker/win32/engine_file_trust.h"
#include "broker/win32/wide_text.h"
#include "common/win32/process_image.h"

namespace vantorel {

namespace {

constexpr DWORD kPipeBuffer = 65536;
constexpr DWORD kReadChunk = 4096;
// How long output() and exit_code() wait, once, for the reader to reach the end of an ended
// engine's output. The pipe breaks as the engine's handles close; only a child of the engine
// that kept the write end can hold it open, and then the wait ends here.
constexpr auto kSettleWait = std::chrono::milliseconds(500);
constexpr DWORD kStrayAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE;

// A one-entry attribute list from the process heap: the handles the engine may inherit.
class HandleListAttribute {
public:
    HandleListAttribute() = default;
    ~HandleListAttribute() {
        if (initialized_) DeleteProcThreadAttributeList(list_);
        if (list_ != nullptr) HeapFree(GetProcessHeap(), 0, list_);
    }
    HandleListAttribute(const HandleListAttribute&) = delete;
    HandleListAttribute& operator=(const HandleListAttribute&) = delete;

    // `handles` must outlive the process creation that uses the list.
    bool build(HANDLE* handles, size_t count, DWORD& error) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) return failed(error);
        list_ = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
        if (list_ == nullptr) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) return failed(error);
        initialized_ = true;
        // Quirk: docs/windows-quirks.md, "Handle inheritance".
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                       nullptr, nullptr)) {
            return failed(error);
        }
        return true;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    static bool failed(DWORD& error) {
        error = GetLastError();
        if (error == 0) error = ERROR_INVALID_PARAMETER;
        return false;
    }

    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool initialized_ = false;
};

// The broker's own token without the privileges the engine has no use for (a restricted copy
// of the caller's primary token needs no SeAssignPrimaryTokenPrivilege to start a process).
bool EngineToken(WinHandle& out, DWORD& error) {
    HANDLE own_raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &own_raw)) {
        error = GetLastError();
        return false;
    }
    WinHandle own(own_raw);
    DWORD size = 0;
    GetTokenInformation(own.get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size + sizeof(TOKEN_PRIVILEGES));
    if (!GetTokenInformation(own.get(), TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        error = GetLastError();
        return false;
    }
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    std::vector<LUID_AND_ATTRIBUTES> dropped;
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        LUID luid = held->Privileges[i].Luid;
        wchar_t name[64];
        DWORD length = 64;
        // A privilege without a name is not one the engine is known to need.
        const bool named = LookupPrivilegeNameW(nullptr, &luid, name, &length) != FALSE;
        if (named && EngineKeepsPrivilege(WideToUtf8(std::wstring_view(name, length)))) continue;
        dropped.push_back(LUID_AND_ATTRIBUTES{luid, 0});
    }
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(own.get(), 0, 0, nullptr, static_cast<DWORD>(dropped.size()),
                               dropped.empty() ? nullptr : dropped.data(), 0, nullptr, &restricted)) {
        error = GetLastError();
        return false;
    }
    out.reset(restricted);
    return true;
}

// Started as SYSTEM: whoever can replace sing-box.exe, or plant files beside it, runs as SYSTEM.
bool EngineFilesTrusted(const std::wstring& engine_path) {
    return UntrustedChangeReasonOf(DirectoryOf(engine_path)).empty() && UntrustedChangeReasonOf(engine_path).empty();
}

}  // namespace

Win32Engine::Win32Engine(std::wstring engine_path, std::wstring config_path)
    : engine_path_(std::move(engine_path)), config_path_(std::move(config_path)) {}

Win32Engine::~Win32Engine() { release(); }

std::wstring Win32Engine::command_line() const { return L"\"" + engine_path_ + L"\" run -c \"" + config_path_ + L"\""; }

bool Win32Engine::fail(const char* code, std::uint32_t error) {
    last_error_ = error;
    last_code_ = code;
    return false;
}

bool Win32Engine::start(std::uint32_t& pid) {
    stop_reader();
    output_read_.reset();
    {
        std::lock_guard<std::mutex> guard(output_lock_);
        output_tail_.clear();
        reader_done_ = false;
    }
    output_settled_ = false;
    last_code_ = "";
    if (GetFileAttributesW(engine_path_.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return fail("core_create_process_failed", GetLastError());
    }
    if (!EngineFilesTrusted(engine_path_)) return fail("core_engine_untrusted", ERROR_ACCESS_DENIED);

    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    WinHandle read_end;
    WinHandle write_end;
    if (!open_output_pipe(read_end, write_end)) return false;
    WinHandle stop_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_event) return fail("core_pipe_failed", GetLastError());
    WinHandle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!nul) return fail("core_pipe_failed", GetLastError());

    // Without the list every inheritable handle of the broker would leak into the engine.
    HANDLE inherited[2] = {nul.get(), write_end.get()};
    HandleListAttribute attributes;
    DWORD error = 0;
    if (!attributes.build(inherited, 2, error)) return fail("core_attributes_failed", error);

    std::wstring line = command_line();
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');
    std::wstring directory = DirectoryOf(engine_path_);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = nul.get();
    startup.StartupInfo.hStdOutput = write_end.get();
    startup.StartupInfo.hStdError = write_end.get();
    startup.lpAttributeList = attributes.get();

    WinHandle token;
    if (!EngineToken(token, error)) return fail("core_create_process_failed", error);

    PROCESS_INFORMATION info{};
    BOOL created = CreateProcessAsUserW(token.get(), engine_path_.c_str(), mutable_line.data(), nullptr, nullptr, TRUE,
                                        kEngineCreateFlags, nullptr, directory.c_str(), &startup.StartupInfo, &info);
    DWORD create_error = created ? 0 : GetLastError();
    if (!created && create_error == ERROR_ACCESS_DENIED) {
        // The broker's own job forbids breakaway.
        created = CreateProcessAsUserW(token.get(), engine_path_.c_str(), mutable_line.data(), nullptr, nullptr, TRUE,
                                       kEngineCreateFlagsNoBreakaway, nullptr, directory.c_str(), &startup.StartupInfo,
                                       &info);
        create_error = created ? 0 : GetLastError();
    }
    // The engine holds its own copies now; ours would keep the pipe from ever reporting its end.
    nul.reset();
    write_end.reset();

    if (!created) {
        return fail("core_create_process_failed", create_error != 0 ? create_error : ERROR_INVALID_PARAMETER);
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    output_read_ = std::move(read_end);
    reader_stop_ = std::move(stop_event);
    // Quirk: docs/windows-quirks.md, "The engine's output pipe".
    reader_ = std::thread([this] { read_output(); });
    process_id_ = info.dwProcessId;
    pid = process_id_;
    last_error_ = 0;
    last_code_ = "";
    return true;
}

// Quirk: docs/windows-quirks.md, "The engine between its creation and its job".
bool Win32Engine::assign_job() {
    if (!process_) return fail("core_job_assign_failed", ERROR_INVALID_HANDLE);
    job_.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job_) return fail("core_job_assign_failed", GetLastError());
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        return fail("core_job_assign_failed", GetLastError());
    }
    if (!AssignProcessToJobObject(job_.get(), process_.get())) {
        return fail("core_job_assign_failed", GetLastError());
    }
    last_error_ = 0;
    last_code_ = "";
    return true;
}

bool Win32Engine::resume() {
    if (!thread_) return fail("core_resume_failed", ERROR_INVALID_HANDLE);
    if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
        return fail("core_resume_failed", GetLastError());
    }
    thread_.reset();
    last_error_ = 0;
    last_code_ = "";
    return true;
}

bool Win32Engine::request_stop() {
    if (process_id_ == 0) return false;
    if (!AttachConsole(process_id_)) {
        last_error_ = GetLastError();
        return false;
    }
    // This ignores Ctrl+C only. The break cannot reach the broker anyway: it goes to the engine's
    // process group (the engine was created as its own group), which the broker is not in.
    SetConsoleCtrlHandler(nullptr, TRUE);
    // Quirk: docs/windows-quirks.md, "Control-break to a child engine".
    BOOL sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_id_);
    DWORD error = sent ? 0 : GetLastError();
    FreeConsole();
    if (!sent) last_error_ = error;
    return sent != FALSE;
}

bool Win32Engine::is_running() { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

void Win32Engine::terminate() {
    if (process_ && !TerminateProcess(process_.get(), 0)) last_error_ = GetLastError();
}

void Win32Engine::release() {
    thread_.reset();
    process_.reset();
    job_.reset();
    stop_reader();
    output_read_.reset();
    process_id_ = 0;
}

void Win32Engine::kill_strays() {
    std::wstring target = FullPathOf(engine_path_);
    WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        last_error_ = GetLastError();
        return;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, L"sing-box.exe", -1, TRUE) != CSTR_EQUAL) continue;
        WinHandle process(OpenProcess(kStrayAccess, FALSE, entry.th32ProcessID));
        if (!process) continue;
        std::wstring image;
        if (!ProcessImagePath(process.get(), image)) continue;
        if (!SamePathIgnoringCase(FullPathOf(image), target)) continue;
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), 1000);
    }
}

std::uint32_t Win32Engine::exit_code() {
    if (!process_) return last_error_;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return GetLastError();
    if (code != STILL_ACTIVE) settle_output();
    return code;
}

std::string Win32Engine::output() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) settle_output();
    std::lock_guard<std::mutex> guard(output_lock_);
    return output_tail_;
}

void Win32Engine::settle_output() {
    if (output_settled_ || !reader_.joinable()) return;
    output_settled_ = true;
    std::unique_lock<std::mutex> guard(output_lock_);
    reader_ended_.wait_for(guard, kSettleWait, [this] { return reader_done_; });
}

// An anonymous pipe cannot be read with overlapped I/O, and a blocking read on it can only be
// ended by the write end's last holder. A named pipe read overlapped ends at once on our stop.
bool Win32Engine::open_output_pipe(WinHandle& read_end, WinHandle& write_end) {
    static std::atomic<unsigned> serial{0};
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::wstring name = L"\\\\.\\pipe\\Vantorel.engine-output." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(serial.fetch_add(1)) + L"." + std::to_wstring(counter.QuadPart);
    // One instance, made here and opened at once by this process: no other client can take it.
    read_end.reset(CreateNamedPipeW(name.c_str(),
                                    PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                    kPipeBuffer, kPipeBuffer, 0, nullptr));
    if (!read_end) return fail("core_pipe_failed", GetLastError());
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    write_end.reset(
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write_end) {
        const DWORD error = GetLastError();
        read_end.reset();
        return fail("core_pipe_failed", error);
    }
    return true;
}

// Blocks on the pipe so the engine never waits on a full pipe, whatever the worker is doing.
void Win32Engine::read_output() {
    WinHandle read_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char chunk[kReadChunk];
    while (read_event) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = read_event.get();
        DWORD got = 0;
        if (!ReadFile(output_read_.get(), chunk, kReadChunk, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;  // the pipe broke: every holder of the write end has closed it
        }
        HANDLE waits[2] = {read_event.get(), reader_stop_.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(output_read_.get(), &overlapped);
        }
        // Waits for a cancelled read too: the buffer must not be left to the system.
        const BOOL done = GetOverlappedResult(output_read_.get(), &overlapped, &got, TRUE);
        if (got > 0) {
            std::lock_guard<std::mutex> guard(output_lock_);
            output_tail_.append(chunk, got);
            if (output_tail_.size() > kEngineOutputTail) {
                output_tail_.erase(0, output_tail_.size() - kEngineOutputTail);
            }
        }
        if (!done || WaitForSingleObject(reader_stop_.get(), 0) == WAIT_OBJECT_0) break;
    }
    std::lock_guard<std::mutex> guard(output_lock_);
    reader_done_ = true;
    reader_ended_.notify_all();
}

void Win32Engine::stop_reader() {
    if (!reader_.joinable()) return;
    SetEvent(reader_stop_.get());
    reader_.join();
    reader_stop_.reset();
}

}  // namespace vantorel
