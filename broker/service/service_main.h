#pragma once
// The broker as the Windows service "VantorelBroker". Windows only.

#include <windows.h>

namespace vantorel {

inline constexpr wchar_t kServiceName[] = L"VantorelBroker";

// Registered with the control manager's dispatcher.
void WINAPI BrokerServiceMain(DWORD argc, LPWSTR* argv);

}  // namespace vantorel
