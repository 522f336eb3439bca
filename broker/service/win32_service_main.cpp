#include "broker/service/win32_service_main.h"

#include <winsock2.h>

#include <chrono>
#include <memory>
#include <mutex>

#include "broker/service/win32_broker_service.h"
#include "broker/service/win32_pipe_server.h"
#include "broker/service/win32_preshutdown_config.h"
#include "broker/service/published_service.h"
#include "broker/service/service_status_reporter.h"
#include "broker/service/stop_progress.h"
#include "broker/win32/data_directory.h"
#include "common/win32/win_handle.h"
#include "common/win32/winsock_session.h"

namespace vantorel {
namespace {

constexpr DWORD kReadyWaitMs = 20000;
constexpr std::chrono::milliseconds kStopProgressInterval{1000};

// What the control handler reaches from the control manager's thread.
struct ServiceProcess {
    ServiceStatusReporter status;

    // Guards the handles below: the handler may run while the service main function closes them.
    std::mutex signal_mutex;
    WinHandle stop_event;
    WinHandle ready_event;
    WinHandle pipe_thread;

    PublishedService<BrokerService> service;
};

ServiceProcess& Process() {
    static ServiceProcess process;
    return process;
}

// Runs under the reporter's lock, which also guards the status handle.
ServiceStatusReporter::Send StatusSender(SERVICE_STATUS_HANDLE handle) {
    return [handle](const ServiceStatusRecord& record) {
        SERVICE_STATUS status{};
        status.dwServiceType = record.service_type;
        status.dwCurrentState = record.current_state;
        status.dwControlsAccepted = record.controls_accepted;
        status.dwWin32ExitCode = record.exit_code;
        status.dwServiceSpecificExitCode = record.service_specific_exit_code;
        status.dwCheckPoint = record.checkpoint;
        status.dwWaitHint = record.wait_hint;
        SetServiceStatus(handle, &status);
    };
}

void ReportPhase(ServicePhase phase, DWORD exit_code = 0) { Process().status.report_phase(phase, exit_code); }

void ReportCurrentAgain() { Process().status.report_current_again(); }

void SignalStop() {
    ServiceProcess& p = Process();
    std::lock_guard<std::mutex> guard(p.signal_mutex);
    if (p.stop_event) SetEvent(p.stop_event.get());
    if (p.pipe_thread) CancelSynchronousIo(p.pipe_thread.get());
}

DWORD WINAPI ControlHandler(DWORD control, DWORD event_type, LPVOID, LPVOID) {
    ServiceProcess& p = Process();
    switch (ClassifyControl(control, event_type)) {
        case ControlAction::stop:
            p.service.use([](BrokerService& service) { service.core.begin_stop(); });
            SignalStop();
            ReportPhase(ServicePhase::stop_requested);
            return NO_ERROR;
        case ControlAction::suspend:
            if (p.service.use([](BrokerService& service) { service.core.handle_suspend(); })) return NO_ERROR;
            ReportCurrentAgain();
            return NO_ERROR;
        case ControlAction::report_current:
            ReportCurrentAgain();
            return NO_ERROR;
    }
    return NO_ERROR;
}

// Kept for the control handler, so a stop can cut short a blocking call on the pipe thread.
void KeepCurrentThreadForCancel() {
    ServiceProcess& p = Process();
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
    std::lock_guard<std::mutex> guard(p.signal_mutex);
    p.pipe_thread.reset(thread);
}

bool CreateSignals() {
    ServiceProcess& p = Process();
    std::lock_guard<std::mutex> guard(p.signal_mutex);
    p.stop_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    p.ready_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return p.stop_event.valid() && p.ready_event.valid();
}

void CloseSignals() {
    ServiceProcess& p = Process();
    std::lock_guard<std::mutex> guard(p.signal_mutex);
    p.pipe_thread.reset();
    p.ready_event.reset();
    p.stop_event.reset();
}

// Ends a run that could not get going; the control manager sees the error.
void AbandonStart(DWORD error) {
    WSACleanup();
    CloseSignals();
    ReportPhase(ServicePhase::finished, error);
}

}  // namespace

void WINAPI BrokerServiceMain(DWORD, LPWSTR*) {
    ServiceProcess& p = Process();
    const SERVICE_STATUS_HANDLE status_handle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
    if (status_handle == nullptr) return;
    p.status.start_reporting(StatusSender(status_handle));

    EnsureWinsockStarted();

    if (!CreateSignals()) {
        AbandonStart(GetLastError());
        return;
    }
    const HANDLE stop_event = p.stop_event.get();
    const HANDLE ready_event = p.ready_event.get();

    const DataPaths paths = CurrentDataPaths();
    const DataDirectoryOutcome prepared = PrepareDataDirectory(paths);
    if (!prepared.secured) {
        ReportUnsecuredDataDirectory(paths, prepared);
        AbandonStart(DataDirectoryExitCode(prepared));
        return;
    }

    auto service = std::make_unique<BrokerService>(paths, WindowsServiceHooks(ready_event));
    p.service.publish(service.get());
    LogDataDirectoryOutcome(service->platform.log, prepared);
    EnsurePreshutdownTimeout(service->platform.log);

    service->core.install_listeners();
    if (!service->core.start_worker()) {
        p.service.withdraw();
        service.reset();
        AbandonStart(ERROR_SERVICE_NO_THREAD);
        return;
    }

    WaitForSingleObject(ready_event, kReadyWaitMs);
    ReportPhase(ServicePhase::ready);

    PipeServerContext pipe{service->core,     service->controller,        service->platform.log,
                           stop_event,        KeepCurrentThreadForCancel, kPipeName,
                           IsControllerClient};
    RunPipeServer(pipe);

    ReportPhase(ServicePhase::stop_requested);
    service->core.begin_stop();
    {
        // The final teardown can outlast one wait hint.
        StopProgress progress([](std::uint32_t checkpoint) { Process().status.report(StopProgressStatus(checkpoint)); },
                              kStopProgressInterval);
        service->core.join_worker();
    }

    // Waits for a control handler that is using the service right now.
    p.service.withdraw();
    // Stopped is the last word of the last thread: once it is reported the control manager may
    // end the process, so everything is released first.
    service.reset();
    WSACleanup();
    CloseSignals();
    ReportPhase(ServicePhase::finished);
}

}  // namespace vantorel
