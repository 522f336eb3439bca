// A stand-in for sing-box.exe in tests: prints, sleeps and exits as told.
//
// Options, applied in the order given:
//   --stdout TEXT     write TEXT and a line feed to standard output
//   --stderr TEXT     write TEXT and a line feed to standard error
//   --bytes N         write N bytes of "%08u\n" records (00000000\n00000001\n...) to standard output
//   --print-args      write the command line, as received, and a line feed to standard output
//   --print-cwd       write the working directory and a line feed to standard output
//   --read-stdin      read standard input to its end and write "stdin=<bytes read>\n"
//   --ignore-break    ignore Ctrl+C and Ctrl+Break (otherwise they end it with code 0, as sing-box)
//   --sleep-ms N      sleep N milliseconds; -1 sleeps forever
//   --exit N          exit at once with code N
//   --adapter         hold the TUN adapter "VantorelTun" through the route agent of the test
//                     namespace for the rest of the process's life; a refusal ends the program
//                     with 1 and a line on standard error, as the engine ends when it cannot
//                     create its adapter
//   --serve-api       serve the engine control API (GET /connections) on the port and with the
//                     secret of the configuration given with "-c"
// Without --exit the program exits with 0 after the last option.
//
// Started as the broker starts the engine ("run -c <config>"), it takes its options from
// "stand-in.cfg" next to its own executable instead, one option per line ("--stdout some text");
// when that file is absent it runs forever without a word.

#include <windows.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/wine/stand_in_adapter.h"
#include "tests/wine/stand_in_api.h"

namespace {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

// WriteFile, not stdio: the bytes must arrive exactly, without text-mode line ends.
void WriteAll(DWORD which, const std::string& bytes) {
    HANDLE out = GetStdHandle(which);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 65536));
        if (!WriteFile(out, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
        done += written;
    }
}

std::string Pattern(long long count) {
    std::string out;
    char record[16];
    for (unsigned i = 0; static_cast<long long>(out.size()) < count; ++i) {
        std::snprintf(record, sizeof(record), "%08u\n", i);
        out += record;
    }
    out.resize(static_cast<size_t>(count));
    return out;
}

BOOL WINAPI IgnoreBreak(DWORD) { return TRUE; }

BOOL WINAPI ExitOnBreak(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) ExitProcess(0);
    return FALSE;
}

std::string ReadStdin() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    size_t total = 0;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof(buffer), &got, nullptr) && got > 0) total += got;
    return "stdin=" + std::to_string(total) + "\n";
}

struct Option {
    std::string name;
    std::string value;
};

bool TakesValue(const std::string& name) {
    return name == "--stdout" || name == "--stderr" || name == "--bytes" || name == "--sleep-ms" || name == "--exit";
}

std::string ReadWholeFile(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// Returns 0 or the exit code that ends the program.
int ServeApi(const std::wstring& config_path) {
    vantorel::stand_in::ApiSettings settings;
    std::string error = "no control API in the configuration";
    if (!vantorel::stand_in::ReadApiSettings(ReadWholeFile(config_path), settings) ||
        !vantorel::stand_in::StartApiServer(settings, error)) {
        // The real engine's words, which the broker reads to tell a taken port.
        WriteAll(
            STD_ERROR_HANDLE,
            "FATAL[0000] start service: finish-start clash server: external controller listen error: " + error + "\n");
        return 1;
    }
    WriteAll(STD_ERROR_HANDLE,
             "INFO[0000] clash-api: restful api listening at 127.0.0.1:" + std::to_string(settings.port) + "\n");
    return 0;
}

// Returns the exit code.
int Run(const std::vector<Option>& options, const std::wstring& config_path) {
    SetConsoleCtrlHandler(ExitOnBreak, TRUE);
    std::vector<std::unique_ptr<vantorel::stand_in::HeldAdapter>> adapters;  // held until exit
    for (const Option& o : options) {
        if (o.name == "--stdout") {
            WriteAll(STD_OUTPUT_HANDLE, o.value + "\n");
        } else if (o.name == "--stderr") {
            WriteAll(STD_ERROR_HANDLE, o.value + "\n");
        } else if (o.name == "--bytes") {
            WriteAll(STD_OUTPUT_HANDLE, Pattern(std::atoll(o.value.c_str())));
        } else if (o.name == "--print-args") {
            WriteAll(STD_OUTPUT_HANDLE, ToUtf8(GetCommandLineW()) + "\n");
        } else if (o.name == "--print-cwd") {
            wchar_t dir[MAX_PATH * 4];
            DWORD n = GetCurrentDirectoryW(MAX_PATH * 4, dir);
            WriteAll(STD_OUTPUT_HANDLE, ToUtf8(std::wstring(dir, n)) + "\n");
        } else if (o.name == "--read-stdin") {
            WriteAll(STD_OUTPUT_HANDLE, ReadStdin());
        } else if (o.name == "--ignore-break") {
            SetConsoleCtrlHandler(ExitOnBreak, FALSE);
            SetConsoleCtrlHandler(IgnoreBreak, TRUE);
        } else if (o.name == "--sleep-ms") {
            long long ms = std::atoll(o.value.c_str());
            Sleep(ms < 0 ? INFINITE : static_cast<DWORD>(ms));
        } else if (o.name == "--exit") {
            return std::atoi(o.value.c_str());
        } else if (o.name == "--adapter") {
            adapters.push_back(std::make_unique<vantorel::stand_in::HeldAdapter>());
            std::string error;
            if (!adapters.back()->acquire(error)) {
                WriteAll(STD_ERROR_HANDLE,
                         "FATAL[0000] start inbound/tun[tun-in]: configure tun interface: " + error + "\n");
                return 1;
            }
        } else if (o.name == "--serve-api") {
            if (int code = ServeApi(config_path)) return code;
        } else {
            WriteAll(STD_ERROR_HANDLE, "stand-in: unknown option " + o.name + "\n");
            return 64;
        }
    }
    return 0;
}

std::vector<Option> OptionsFromArgs(int argc, wchar_t** argv) {
    std::vector<Option> options;
    for (int i = 1; i < argc; ++i) {
        Option o{ToUtf8(argv[i]), ""};
        if (TakesValue(o.name) && i + 1 < argc) o.value = ToUtf8(argv[++i]);
        options.push_back(o);
    }
    return options;
}

std::wstring OwnDirectory() {
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring full(path, n);
    size_t cut = full.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring(L".") : full.substr(0, cut);
}

// One option per line: the name, then (for options with a value) one space and the rest of the line.
bool OptionsFromFile(std::vector<Option>& options) {
    std::wstring path = OwnDirectory() + L"\\stand-in.cfg";
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    const std::string text = ReadWholeFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (line.empty()) continue;
        size_t space = line.find(' ');
        Option o{line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)};
        options.push_back(o);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool as_engine = argc >= 2 && std::wstring(argv[1]) == L"run";
    std::wstring config_path = as_engine && argc >= 4 && std::wstring(argv[2]) == L"-c" ? argv[3] : L"";
    std::vector<Option> options;
    if (!as_engine) {
        options = OptionsFromArgs(argc, argv);
    } else if (!OptionsFromFile(options)) {
        options.push_back(Option{"--sleep-ms", "-1"});
    }
    return Run(options, config_path);
}
