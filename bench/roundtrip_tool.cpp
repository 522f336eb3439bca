// Round trips of a hello under Wine, timed inside the Windows side:
//   pipe N            hello frames straight on the broker's pipe (this program is the client);
//   session PATH N    hello lines through "PATH session" (the real controller) and back;
//   idle PATH SECONDS a controller session that is opened, greeted once and left idle;
//   echo N            lines through a child (this program) that writes each line straight
//                     back: what the two standard streams alone cost a round trip, the floor
//                     under the session figure beside the pipe's.
// Prints one line per measure: "<name> n=<count> p50_us=<..> p99_us=<..> max_us=<..>".
// The broker accepts only the controller as a client, so scripts/bench installs this program
// under the controller's fixed path and the real controller beside a broker elsewhere.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/broker_names.h"
#include "protocol/frames.h"

namespace {

const char kHello[] = "{\"command\":\"hello\",\"protocol_version\":3}";

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_;
};

double MicrosSince(LARGE_INTEGER start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

void Report(const char* name, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("%s n=0\n", name);
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&samples](double q) {
        const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
        return samples[std::min(index, samples.size() - 1)];
    };
    std::printf("%s n=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f\n", name, samples.size(), at(0.5), at(0.99),
                samples.back());
    // Every sample too, so rounds taken apart can be pooled.
    std::printf("raw %s", name);
    for (double sample : samples) std::printf(" %.1f", sample);
    std::printf("\n");
    std::fflush(stdout);
}

bool WriteAll(HANDLE h, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
}

int PipeRoundTrips(int count) {
    // A service just started serves its pipe only after its start-up recovery: wait for it.
    Handle pipe;
    for (int attempt = 0; attempt < 300 && !pipe.valid(); ++attempt) {
        pipe.reset(CreateFileW(vantorel::kBrokerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr));
        if (!pipe.valid()) Sleep(100);
    }
    if (!pipe.valid()) {
        std::fprintf(stderr, "pipe open failed: %lu\n", GetLastError());
        return 2;
    }
    std::vector<double> samples;
    std::string buffer;
    const std::string frame = vantorel::EncodeFrame(kHello);
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        if (!WriteAll(pipe.get(), frame)) return 3;
        std::string payload, error;
        while (!vantorel::ExtractFrame(buffer, payload, error)) {
            if (!error.empty()) return 4;
            char chunk[8192];
            DWORD got = 0;
            if (!ReadFile(pipe.get(), chunk, sizeof(chunk), &got, nullptr) || got == 0) return 5;
            buffer.append(chunk, got);
        }
        samples.push_back(MicrosSince(start));
    }
    Report("pipe", samples);
    return 0;
}

// The controller as a child with its standard input and output on pipes of ours.
class Controller {
public:
    bool Start(const std::wstring& path, const wchar_t* arguments = L"session") {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
        if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return false;
        Handle child_in(in_read);
        input_.reset(in_write);
        if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return false;
        Handle child_out(out_write);
        output_.reset(out_read);
        SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_in.get();
        startup.hStdOutput = child_out.get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::wstring command = L"\"" + path + L"\" " + arguments;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
            return false;
        }
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
        return true;
    }
    bool Send(const std::string& line) { return WriteAll(input_.get(), line + "\n"); }
    bool ReadLine(std::string& line) {
        for (;;) {
            const std::size_t feed = pending_.find('\n');
            if (feed != std::string::npos) {
                line.assign(pending_, 0, feed);
                pending_.erase(0, feed + 1);
                return true;
            }
            char chunk[4096];
            DWORD got = 0;
            if (!ReadFile(output_.get(), chunk, sizeof(chunk), &got, nullptr) || got == 0) return false;
            pending_.append(chunk, got);
        }
    }
    // End of input ends the session; its exit code, or -1 when it does not end in time.
    long Finish() {
        input_.reset();
        if (WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 99);
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return static_cast<long>(code);
    }

private:
    Handle input_, output_, process_;
    std::string pending_;
};

bool Greet(Controller& controller) {
    std::string line;
    return controller.Send(kHello) && controller.ReadLine(line) &&
           line.find("\"event\":\"state\"") != std::string::npos;
}

int SessionRoundTrips(const std::wstring& path, int count) {
    Controller controller;
    if (!controller.Start(path)) return 6;
    // The first hello also pays for the controller's start and connection.
    if (!Greet(controller)) return 7;
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        if (!Greet(controller)) return 8;
        samples.push_back(MicrosSince(start));
    }
    Report("session", samples);
    return controller.Finish() == 0 ? 0 : 9;
}

int IdleSession(const std::wstring& path, int seconds) {
    Controller controller;
    if (!controller.Start(path)) return 6;
    if (!Greet(controller)) return 7;
    std::printf("idle started\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    if (!Greet(controller)) return 8;
    std::printf("idle ended\n");
    std::fflush(stdout);
    return controller.Finish() == 0 ? 0 : 9;
}

// The child of the echo measure: every line back at once, one write each.
int EchoChild() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string pending;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(in, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        pending.append(chunk, got);
        std::size_t feed;
        while ((feed = pending.find('\n')) != std::string::npos) {
            if (!WriteAll(out, pending.substr(0, feed + 1))) return 1;
            pending.erase(0, feed + 1);
        }
    }
    return 0;
}

int EchoRoundTrips(int count) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 6;
    Controller child;
    if (!child.Start(self, L"echo-child")) return 6;
    std::vector<double> samples;
    std::string line;
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        if (!child.Send(kHello) || !child.ReadLine(line) || line != kHello) return 8;
        samples.push_back(MicrosSince(start));
    }
    Report("echo", samples);
    return child.Finish() == 0 ? 0 : 9;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"pipe" && argc == 3) return PipeRoundTrips(_wtoi(argv[2]));
    if (mode == L"session" && argc == 4) return SessionRoundTrips(argv[2], _wtoi(argv[3]));
    if (mode == L"idle" && argc == 4) return IdleSession(argv[2], _wtoi(argv[3]));
    if (mode == L"echo" && argc == 3) return EchoRoundTrips(_wtoi(argv[2]));
    if (mode == L"echo-child" && argc == 2) return EchoChild();
    std::fputs("usage: vantorel_roundtrip pipe N | session CONTROLLER N | idle CONTROLLER SECONDS | echo N\n", stderr);
    return 1;
}
