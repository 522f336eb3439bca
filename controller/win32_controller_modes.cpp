#include "controller/win32_controller_modes.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "controller/win32_broker_connection.h"
#include "controller/controller_exit_codes.h"
#include "controller/mode_selection.h"
#include "controller/win32_prove_tunnel.h"
#include "controller/win32_broker_pipe.h"
#include "controller/win32_stdin_source.h"
#include "controller/win32_wake_signal.h"
#include "protocol/events.h"

namespace vantorel {

int RunStatus(WinHandle pipe, DocumentSink& out) {
    Win32BrokerPipe broker(std::move(pipe));
    return RunStatusOver(broker, out);
}

int RunDisconnect(WinHandle pipe, DocumentSink& out, std::chrono::milliseconds timeout) {
    Win32BrokerPipe broker(std::move(pipe));
    return RunDisconnectOver(broker, out, timeout);
}

int RunSession(WinHandle pipe, SessionIo io) {
    if (!io.input) io.input = std::make_shared<Win32StdinLineSource>();
    if (io.out == nullptr) io.out = &StandardOutput();
    if (!io.prove) io.prove = [] { return ProveTunnel(); };
    if (!io.wake) {
        // Without an event the relay could not wait on input and pipe together.
        auto wake = std::make_shared<Win32WakeSignal>();
        if (wake->valid()) io.wake = std::move(wake);
    }
    Win32BrokerPipe broker(std::move(pipe));
    return RunSessionOver(broker, io);
}

int RunController(const std::vector<std::wstring>& args) {
    const ModeChoice choice = SelectMode(args);
    if (!choice.known) {
        std::fputs(kUsageText, stderr);
        std::fflush(stderr);
        return kExitUsage;
    }
    BrokerConnection connection = ConnectToBroker();
    if (connection.result == ConnectResult::busy) {
        StandardOutput().print(BrokerBusyDocument());
        return kExitBrokerUnreachable;
    }
    if (connection.result != ConnectResult::connected) {
        StandardOutput().print(BrokerUnavailableDocument(connection.win32));
        return kExitBrokerUnreachable;
    }
    switch (choice.mode) {
        case ControllerMode::status:
            return RunStatus(std::move(connection.pipe));
        case ControllerMode::disconnect:
            return RunDisconnect(std::move(connection.pipe));
        case ControllerMode::session:
            break;
    }
    return RunSession(std::move(connection.pipe));
}

}  // namespace vantorel
