// SetInterfaceDnsSettings, which Wine 8 lacks. Windows keeps an interface's static DNS servers
// in the registry and its resolver asks them; here the value is written where Windows writes it
// and the route agent makes the namespace's resolver ask the same servers while the adapter
// exists (docs/testing.md).

#include <cstdio>
#include <string>

#include "broker/win32/dns_interface_settings.h"
#include "tests/wine/route_shim/agent_link.h"
#include "tests/wine/route_shim/iphlp_headers.h"

namespace vantorel::route_shim {
namespace {

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// Addresses only ("a,b" or "a b" as Windows accepts); anything else ends the list.
std::string ServerList(const wchar_t* servers) {
    std::string out;
    for (const wchar_t* c = servers; c != nullptr && *c != 0; ++c) {
        if (*c == L',' || *c == L' ') {
            if (!out.empty() && out.back() != ',') out += ',';
        } else if ((*c >= L'0' && *c <= L'9') || *c == L'.' || *c == L':' || (*c >= L'a' && *c <= L'f') ||
                   (*c >= L'A' && *c <= L'F')) {
            out += static_cast<char>(*c);
        } else {
            break;
        }
    }
    if (!out.empty() && out.back() == ',') out.pop_back();
    return out;
}

DWORD WriteNameServer(const std::string& guid, const wchar_t* servers) {
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" +
                             std::wstring(guid.begin(), guid.end());
    HKEY opened = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    const std::wstring value = servers == nullptr ? std::wstring() : std::wstring(servers);
    status = RegSetValueExW(opened, L"NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    return static_cast<DWORD>(status);
}

}  // namespace
}  // namespace vantorel::route_shim

extern "C" DWORD WINAPI SetInterfaceDnsSettings(GUID interface_guid, const void* settings_in) {
    using namespace vantorel;
    using namespace vantorel::route_shim;
    const auto* settings = static_cast<const DnsInterfaceSettings*>(settings_in);
    if (settings == nullptr || settings->Version < kDnsInterfaceSettingsVersion1 ||
        settings->Version > kDnsInterfaceSettingsVersion3) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((settings->Flags & kDnsSettingNameServer) == 0) return ERROR_SUCCESS;  // nothing this shim keeps
    const std::string guid = GuidText(interface_guid);
    if (const DWORD status = WriteNameServer(guid, settings->NameServer)) return status;
    AgentLink link;
    AgentReply reply;
    if (link.connected())
        link.request("dns_servers guid=" + guid + " servers=" + ServerList(settings->NameServer), reply);
    return ERROR_SUCCESS;
}
