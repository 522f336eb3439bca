#pragma once
// The broker as the Windows service "VantorelBroker". Windows only.

#include <windows.h>

#include "protocol/broker_names.h"

namespace vantorel {

inline constexpr const wchar_t* kServiceName = kBrokerServiceName;

// Registered with the control manager's dispatcher.
void WINAPI BrokerServiceMain(DWORD argc, LPWSTR* argv);

}  // namespace vantorel
