// Test-only sing-box.exe for sessions with the real engine under Wine. Wine cannot start a Linux
// program with its output and exit status captured, and the real Windows engine cannot create
// its Wintun adapter under Wine, so this launcher stands where the broker expects sing-box.exe:
// started as "run -c <config>", it asks the route agent of the test namespace to run the Linux
// sing-box with that same configuration file (its path translated by Wine), writes the engine's
// output to its own standard output as it comes and exits with the engine's exit status.
// The agent ends the engine when this process's connection closes, so the engine lives and dies
// with the launcher (the broker's job ends the launcher; the agent then ends the engine).

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/wine/route_shim/agent_link.h"

namespace {

constexpr int kUsage = 64;
constexpr int kNoAgent = 3;

void WriteAll(DWORD which, const std::string& bytes) {
    HANDLE out = GetStdHandle(which);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

int Fail(int code, const std::string& why) {
    WriteAll(STD_ERROR_HANDLE, "engine launcher: " + why + "\n");
    return code;
}

// The Linux path of a Windows path, through Wine's own mapping of drives.
bool UnixPath(const wchar_t* windows_path, std::string& out) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    auto to_unix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (to_unix == nullptr) return false;
    char* path = to_unix(windows_path);
    if (path == nullptr) return false;
    out = path;
    HeapFree(GetProcessHeap(), 0, path);
    return out.find_first_of(" \t\r\n") == std::string::npos;  // the agent's wire splits at spaces
}

bool AgentPort(unsigned short& port) {
    HANDLE file = CreateFileW(vantorel::route_shim::kAgentAddressFile, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char text[64] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(file, text, sizeof(text) - 1, &got, nullptr);
    CloseHandle(file);
    const char* colon = read ? std::strchr(text, ':') : nullptr;
    const long value = colon != nullptr ? std::strtol(colon + 1, nullptr, 10) : 0;
    if (value <= 0 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

class LineSocket {
public:
    explicit LineSocket(SOCKET s) : socket_(s) {}
    ~LineSocket() { closesocket(socket_); }
    bool send_line(const std::string& line) {
        const std::string data = line + "\n";
        return send(socket_, data.data(), static_cast<int>(data.size()), 0) == static_cast<int>(data.size());
    }
    bool read_line(std::string& line) {
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return true;
            }
            char buffer[8192];
            const int got = recv(socket_, buffer, sizeof(buffer), 0);
            if (got <= 0) return false;
            pending_.append(buffer, static_cast<size_t>(got));
        }
    }

private:
    SOCKET socket_;
    std::string pending_;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Unhex(const std::string& hex, std::string& out) {
    out.clear();
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || std::wcscmp(argv[1], L"run") != 0 || std::wcscmp(argv[2], L"-c") != 0) {
        return Fail(kUsage, "usage: sing-box.exe run -c <configuration>");
    }
    std::string config;
    if (!UnixPath(argv[3], config)) return Fail(kUsage, "the configuration path has no Linux form without spaces");

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail(kNoAgent, "no Winsock");
    unsigned short port = 0;
    if (!AgentPort(port)) return Fail(kNoAgent, "no route agent address file");
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return Fail(kNoAgent, "no socket");
    LineSocket agent(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        return Fail(kNoAgent, "route agent unreachable");
    }
    if (!agent.send_line("run_engine config=" + config)) return Fail(kNoAgent, "route agent did not take the request");

    std::string line;
    if (!agent.read_line(line)) return Fail(kNoAgent, "route agent did not answer");
    const long code = std::strtol(line.c_str(), nullptr, 10);
    while (agent.read_line(line) && !line.empty()) {
    }
    if (code != 0) return Fail(1, "route agent refused to run the engine: " + std::to_string(code));

    std::string bytes;
    while (agent.read_line(line)) {
        if (line.rfind("out ", 0) == 0 && Unhex(line.substr(4), bytes)) {
            WriteAll(STD_OUTPUT_HANDLE, bytes);
        } else if (line.rfind("exit ", 0) == 0) {
            return static_cast<int>(std::strtol(line.c_str() + 5, nullptr, 10));
        }
    }
    return Fail(1, "route agent connection lost before the engine ended");
}
