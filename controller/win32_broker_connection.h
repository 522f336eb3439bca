#pragma once
// Opening the broker's pipe and checking that its server is the running service. Windows only.

#include <cstdint>

#include "common/win32/win_handle.h"
#include "controller/broker_connect_rules.h"
#include "protocol/broker_names.h"

namespace vantorel {

struct BrokerAddress {
    const wchar_t* pipe_name = kBrokerPipeName;
    const wchar_t* service_name = kBrokerServiceName;
};

struct BrokerConnection {
    ConnectResult result = ConnectResult::unavailable;
    std::uint32_t win32 = 0;  // also left as the thread's last error
    WinHandle pipe;           // open only when connected
};

BrokerConnection ConnectToBroker(const BrokerAddress& address = BrokerAddress());

}  // namespace vantorel
