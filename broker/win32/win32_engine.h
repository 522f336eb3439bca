#pragma once
// Runs the sing-box engine as a child process with captured output. Windows only.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "broker/contracts/platform_services.h"
#include "common/win32/win_handle.h"

namespace vantorel {

inline constexpr size_t kEngineOutputTail = 4096;
// Suspended, own process group, extended startup information, no window; the first also breaks
// away from a job the broker may itself be in.
inline constexpr unsigned long kEngineCreateFlags = 0x9080204;
inline constexpr unsigned long kEngineCreateFlagsNoBreakaway = 0x8080204;

class Win32Engine : public EngineHost {
public:
    Win32Engine(std::wstring engine_path, std::wstring config_path);
    ~Win32Engine() override;
    Win32Engine(const Win32Engine&) = delete;
    Win32Engine& operator=(const Win32Engine&) = delete;

    bool start(std::uint32_t& pid) override;
    bool assign_job() override;
    bool resume() override;
    bool request_stop() override;
    bool is_running() override;
    void terminate() override;
    void release() override;
    void kill_strays() override;
    std::uint32_t last_error() const override { return last_error_; }
    const char* last_code() const override { return last_code_; }
    std::uint32_t exit_code() override;
    std::string output() override;

    // The command line start() passes: "<engine>" run -c "<config>".
    std::wstring command_line() const;

private:
    bool fail(const char* code, std::uint32_t error);
    bool open_output_pipe(WinHandle& read_end, WinHandle& write_end);
    void read_output();
    void stop_reader();
    // Once the process has ended, gives the reader a moment to take what is still in the pipe.
    void settle_output();

    std::wstring engine_path_;
    std::wstring config_path_;
    WinHandle process_;
    WinHandle thread_;
    WinHandle job_;
    WinHandle output_read_;  // overlapped read end; only the reader thread reads it
    WinHandle reader_stop_;
    std::thread reader_;
    std::mutex output_lock_;
    std::condition_variable reader_ended_;
    std::string output_tail_;   // guarded by output_lock_
    bool reader_done_ = false;  // guarded by output_lock_
    bool output_settled_ = false;
    const char* last_code_ = "";
    std::uint32_t process_id_ = 0;
    std::uint32_t last_error_ = 0;
};

}  // namespace vantorel
