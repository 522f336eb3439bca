#include "broker/win32/win32_resolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <process.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "common/win32/winsock_session.h"

namespace vantorel {

std::string LookupFirstIpv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answers = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &answers) != 0 || answers == nullptr) return std::string();
    std::string result;
    if (answers->ai_family == AF_INET && answers->ai_addr != nullptr) {
        char text[22] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(answers->ai_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text)) != nullptr) result = text;
    }
    freeaddrinfo(answers);
    return result;
}

namespace {

struct LookupWork {
    std::shared_ptr<ResolveJob> job;
    std::function<std::string(const std::string&)> lookup;
};

unsigned __stdcall RunLookup(void* argument) {
    std::unique_ptr<LookupWork> work(static_cast<LookupWork*>(argument));
    work->job->result = work->lookup(work->job->host);
    work->job->ok = !work->job->result.empty();
    SetEvent(work->job->event.get());
    return 0;
}

}  // namespace

bool ResolveThroughJob(const std::string& host, std::string& ipv4_out,
                       std::function<std::string(const std::string&)> lookup, std::uint32_t wait_ms) {
    if (host.empty()) return false;
    auto job = std::make_shared<ResolveJob>();
    job->host = host;
    job->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->event) return false;
    // A thread of the runtime whose handle is closed at once, not a detached std::thread:
    // winpthreads' detach throws for a thread that has already ended (a lookup that fails at
    // once), which would have escaped into the connect.
    auto work = std::make_unique<LookupWork>(LookupWork{job, std::move(lookup)});
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, &RunLookup, work.get(), 0, nullptr);
    if (thread == 0) return false;
    work.release();
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    if (WaitForSingleObject(job->event.get(), wait_ms) != WAIT_OBJECT_0) return false;
    if (!job->ok) return false;
    ipv4_out = job->result;
    return true;
}

bool Win32Resolver::resolve_ipv4(const std::string& host, std::string& ipv4_out) {
    EnsureWinsockStarted();
    return ResolveThroughJob(host, ipv4_out, LookupFirstIpv4, kWaitMs);
}

}  // namespace vantorel
