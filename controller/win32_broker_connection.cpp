#include "controller/win32_broker_connection.h"

#include <utility>

namespace vantorel {
namespace {

using ServiceHandle = ScopedResource<SC_HANDLE, &CloseServiceHandle>;

class Win32BrokerEndpoint final : public BrokerEndpoint {
public:
    explicit Win32BrokerEndpoint(const BrokerAddress& address) : address_(address) {}

    std::uint32_t open_pipe() override {
        // Overlapped: the session relay waits on a pending read together with its input signal.
        // Identification only: a server that is not the service (checked right after) must not
        // be able to act as this user.
        HANDLE h = CreateFileW(
            address_.pipe_name, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, 0, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        pipe_.reset(h);
        return 0;
    }

    void close_pipe() override { pipe_.reset(); }

    bool pipe_server_process_id(std::uint32_t& pid) override {
        ULONG server = 0;
        if (!GetNamedPipeServerProcessId(pipe_.get(), &server)) return false;
        pid = server;
        return true;
    }

    bool query_service(bool& running, std::uint32_t& pid) override {
        ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return false;
        ServiceHandle service(OpenServiceW(manager.get(), address_.service_name, SERVICE_QUERY_STATUS));
        if (!service) return false;
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                  sizeof(status), &needed)) {
            return false;
        }
        running = status.dwCurrentState == SERVICE_RUNNING;
        pid = status.dwProcessId;
        return true;
    }

    void wait_for_instance(unsigned ms) override { WaitNamedPipeW(address_.pipe_name, ms); }
    void pause(unsigned ms) override { Sleep(ms); }

    WinHandle TakePipe() { return std::move(pipe_); }

private:
    const BrokerAddress& address_;
    WinHandle pipe_;
};

}  // namespace

BrokerConnection ConnectToBroker(const BrokerAddress& address) {
    Win32BrokerEndpoint endpoint(address);
    const ConnectOutcome outcome = ConnectWithRetries(endpoint);
    BrokerConnection connection;
    connection.result = outcome.result;
    connection.win32 = outcome.win32;
    if (outcome.result == ConnectResult::connected) connection.pipe = endpoint.TakePipe();
    SetLastError(outcome.win32);
    return connection;
}

}  // namespace vantorel
