// InitializeIpInterfaceEntry, GetIpInterfaceEntry and GetIpInterfaceTable: Wine 8 lacks the first
// two and answers the table with 50. Each link gets the interface metric the route agent
// reports for it, so a route choice that adds interface metrics can be exercised.

#include <cstddef>
#include <cstring>
#include <vector>

#include "tests/wine/route_shim/agent_link.h"
#include "tests/wine/route_shim/agent_view.h"
#include "tests/wine/route_shim/builtin.h"
#include "tests/wine/route_shim/own_tables.h"

namespace vantorel::route_shim {
namespace {

bool LinkCarries(const LinkState& link, ADDRESS_FAMILY family) {
    return family == AF_INET || (family == AF_INET6 && link.ipv6);
}

bool FillInterfaceRow(const LinkState& link, ADDRESS_FAMILY family, MIB_IPINTERFACE_ROW& row) {
    std::memset(&row, 0, sizeof(row));
    if (!LuidOfIndex(link.index, row.InterfaceLuid)) return false;
    row.Family = family;
    row.InterfaceIndex = link.index;
    row.UseAutomaticMetric = TRUE;
    row.Metric = link.metric;
    row.NlMtu = link.mtu;
    row.Connected = link.up ? TRUE : FALSE;
    row.SitePrefixLength = family == AF_INET6 ? 64 : 0;
    return true;
}

}  // namespace
}  // namespace vantorel::route_shim

extern "C" VOID WINAPI InitializeIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
    if (row != nullptr) std::memset(row, 0, sizeof(*row));  // Family AF_UNSPEC, no interface
}

extern "C" DWORD WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
    using namespace vantorel::route_shim;
    if (row == nullptr || (row->Family != AF_INET && row->Family != AF_INET6)) return ERROR_INVALID_PARAMETER;
    if (row->InterfaceLuid.Value == 0 && row->InterfaceIndex == 0) return ERROR_INVALID_PARAMETER;
    const std::uint32_t index = InterfaceIndexOf(row->InterfaceLuid, row->InterfaceIndex);
    AgentSession agent;
    if (!agent.reachable) return ERROR_NOT_SUPPORTED;
    const LinkState* state = index == 0 ? nullptr : agent.view.find(index);
    if (state == nullptr || !LinkCarries(*state, row->Family)) return ERROR_NOT_FOUND;
    MIB_IPINTERFACE_ROW filled;
    if (!FillInterfaceRow(*state, row->Family, filled)) return ERROR_NOT_FOUND;
    *row = filled;
    return NO_ERROR;
}

extern "C" DWORD WINAPI GetIpInterfaceTable(ADDRESS_FAMILY family, PMIB_IPINTERFACE_TABLE* table) {
    using namespace vantorel::route_shim;
    if (table == nullptr) return ERROR_INVALID_PARAMETER;
    *table = nullptr;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return ERROR_INVALID_PARAMETER;
    AgentSession agent;
    if (!agent.reachable) return ERROR_NOT_SUPPORTED;
    std::vector<MIB_IPINTERFACE_ROW> rows;
    for (ADDRESS_FAMILY f : {static_cast<ADDRESS_FAMILY>(AF_INET), static_cast<ADDRESS_FAMILY>(AF_INET6)}) {
        if (family != AF_UNSPEC && family != f) continue;
        for (const LinkState& state : agent.view.links) {
            MIB_IPINTERFACE_ROW row;
            if (LinkCarries(state, f) && FillInterfaceRow(state, f, row)) rows.push_back(row);
        }
    }
    const std::size_t bytes =
        offsetof(MIB_IPINTERFACE_TABLE, Table) + std::max<std::size_t>(rows.size(), 1) * sizeof(MIB_IPINTERFACE_ROW);
    auto* out = static_cast<MIB_IPINTERFACE_TABLE*>(AllocateOwnTable(bytes));
    if (out == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    for (std::size_t i = 0; i < rows.size(); ++i) out->Table[i] = rows[i];
    out->NumEntries = static_cast<ULONG>(rows.size());
    *table = out;
    return NO_ERROR;
}
