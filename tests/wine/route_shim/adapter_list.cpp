// GetAdaptersAddresses and GetIfEntry2 as Windows answers them where Wine does not:
// - Wine keeps listing a link after it is deleted (as down); Windows forgets a removed adapter.
// - Wine counts every link but the loopback as a hardware interface; Windows does not count a
//   tunnel driver's adapter (a Linux tun here) as one.
// - Wintun gives an adapter the GUID its creator asks for; Wine derives every GUID from the
//   interface index. The creator's GUID is kept in the Linux link's alias (written by the route
//   agent for the adapters it makes for an engine, and by the test scripts).

#include <cstdio>
#include <cstring>
#include <string>

#include "common/win32/win_handle.h"

#include "tests/wine/route_shim/agent_link.h"
#include "tests/wine/route_shim/agent_view.h"
#include "tests/wine/route_shim/builtin.h"

namespace vantorel::route_shim {
namespace {

// Unlinks the adapters of links that no longer exist. The first entry sits at the start of the
// caller's buffer, so a hidden first entry is overwritten by its successor.
ULONG HideRemovedAdapters(IP_ADAPTER_ADDRESSES* first, const AgentView& view) {
    while (first != nullptr && view.find(first->IfIndex) == nullptr) {
        if (first->Next == nullptr) return ERROR_NO_DATA;
        *first = *first->Next;
    }
    for (IP_ADAPTER_ADDRESSES* a = first; a != nullptr && a->Next != nullptr;) {
        if (view.find(a->Next->IfIndex) == nullptr) {
            a->Next = a->Next->Next;
        } else {
            a = a->Next;
        }
    }
    return NO_ERROR;
}

// The braced GUID text in the link's alias, or empty.
std::string CreatorGuid(const wchar_t* name) {
    if (name == nullptr || *name == L'\0' || std::wcschr(name, L'\\') != nullptr) return {};
    const std::wstring path = std::wstring(L"\\\\?\\unix\\sys\\class\\net\\") + name + L"\\ifalias";
    WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr));
    if (!file.valid()) return {};
    char text[64] = {};
    DWORD got = 0;
    if (!ReadFile(file.get(), text, sizeof(text) - 1, &got, nullptr)) return {};
    std::string alias(text, got);
    while (!alias.empty() && (alias.back() == '\n' || alias.back() == '\r')) alias.pop_back();
    if (alias.size() != 38 || alias.front() != '{' || alias.back() != '}') return {};
    return alias;
}

void ReportCreatorGuids(IP_ADAPTER_ADDRESSES* first) {
    for (IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
        const std::string guid = CreatorGuid(a->FriendlyName);
        // Wine's own text has the same length, so it is overwritten in place.
        if (!guid.empty() && a->AdapterName != nullptr && std::strlen(a->AdapterName) == guid.size()) {
            std::memcpy(a->AdapterName, guid.data(), guid.size());
        }
    }
}

bool ParseGuid(const std::string& text, GUID& out) {
    unsigned long d1 = 0;
    unsigned int d2 = 0, d3 = 0, b[8] = {};
    if (std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7]) != 11) {
        return false;
    }
    out.Data1 = d1;
    out.Data2 = static_cast<unsigned short>(d2);
    out.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i) out.Data4[i] = static_cast<unsigned char>(b[i]);
    return true;
}

}  // namespace
}  // namespace vantorel::route_shim

extern "C" ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                             PULONG size) {
    using namespace vantorel::route_shim;
    auto builtin = Builtin<decltype(&GetAdaptersAddresses)>("GetAdaptersAddresses");
    if (builtin == nullptr) return ERROR_NOT_SUPPORTED;
    AgentSession agent;
    ULONG rc = builtin(family, flags, reserved, addresses, size);
    if (rc != NO_ERROR || addresses == nullptr) return rc;
    ReportCreatorGuids(addresses);
    if (!agent.reachable) return rc;
    return HideRemovedAdapters(addresses, agent.view);
}

extern "C" DWORD WINAPI GetIfEntry2(PMIB_IF_ROW2 row) {
    using namespace vantorel::route_shim;
    auto builtin = Builtin<decltype(&GetIfEntry2)>("GetIfEntry2");
    if (builtin == nullptr) return ERROR_NOT_SUPPORTED;
    AgentSession agent;
    DWORD rc = builtin(row);
    if (rc != NO_ERROR) return rc;
    GUID creator{};
    if (ParseGuid(CreatorGuid(row->Alias), creator)) row->InterfaceGuid = creator;
    if (!agent.reachable) return rc;
    const LinkState* state = agent.view.find(row->InterfaceIndex);
    if (state == nullptr) return ERROR_FILE_NOT_FOUND;
    if (state->kind == "tunnel") row->InterfaceAndOperStatusFlags.HardwareInterface = FALSE;
    return NO_ERROR;
}
