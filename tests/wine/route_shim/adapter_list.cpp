// GetAdaptersAddresses and GetIfEntry2 as Windows answers them where Wine does not:
// - Wine keeps listing a link after it is deleted (as down); Windows forgets a removed adapter.
// - Wine counts every link but the loopback as a hardware interface; Windows does not count a
//   tunnel driver's adapter (a Linux tun here) as one.

#include <cstring>

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

}  // namespace
}  // namespace vantorel::route_shim

extern "C" ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES addresses,
                                             PULONG size) {
    using namespace vantorel::route_shim;
    auto builtin = Builtin<decltype(&GetAdaptersAddresses)>("GetAdaptersAddresses");
    if (builtin == nullptr) return ERROR_NOT_SUPPORTED;
    AgentSession agent;
    ULONG rc = builtin(family, flags, reserved, addresses, size);
    if (rc != NO_ERROR || addresses == nullptr || !agent.reachable) return rc;
    return HideRemovedAdapters(addresses, agent.view);
}

extern "C" DWORD WINAPI GetIfEntry2(PMIB_IF_ROW2 row) {
    using namespace vantorel::route_shim;
    auto builtin = Builtin<decltype(&GetIfEntry2)>("GetIfEntry2");
    if (builtin == nullptr) return ERROR_NOT_SUPPORTED;
    AgentSession agent;
    DWORD rc = builtin(row);
    if (rc != NO_ERROR || !agent.reachable) return rc;
    const LinkState* state = agent.view.find(row->InterfaceIndex);
    if (state == nullptr) return ERROR_FILE_NOT_FOUND;
    if (state->kind == "tunnel") row->InterfaceAndOperStatusFlags.HardwareInterface = FALSE;
    return NO_ERROR;
}
