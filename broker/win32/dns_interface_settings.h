#pragma once
// DNS_INTERFACE_SETTINGS of netioapi.h (Windows 10 build 19041), which mingw-w64 lacks: the
// argument of SetInterfaceDnsSettings, as the broker passes it and the test iphlpapi.dll reads
// it. Windows only.

#include <windows.h>

namespace vantorel {

struct DnsInterfaceSettings {
    ULONG Version;
    ULONG64 Flags;
    PWSTR Domain;
    PWSTR NameServer;
    PWSTR SearchList;
    ULONG RegistrationEnabled;
    ULONG RegisterAdapterName;
    ULONG EnableLLMNR;
    ULONG QueryAdapterName;
    PWSTR ProfileNameServer;
};
inline constexpr ULONG kDnsInterfaceSettingsVersion1 = 1;
inline constexpr ULONG kDnsInterfaceSettingsVersion3 = 3;
inline constexpr ULONG64 kDnsSettingNameServer = 0x0002;

}  // namespace vantorel
