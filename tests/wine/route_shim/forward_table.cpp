// GetIpForwardTable2: Wine lists the kernel's IPv4 routes but no IPv6 route at all, so the
// IPv6 rows of AF_INET6 and AF_UNSPEC tables come from the route agent.

#include <cstddef>
#include <cstring>
#include <vector>

#include "tests/wine/route_shim/agent_link.h"
#include "tests/wine/route_shim/agent_view.h"
#include "tests/wine/route_shim/builtin.h"
#include "tests/wine/route_shim/own_tables.h"
#include "tests/wine/route_shim/route_rows.h"

namespace vantorel::route_shim {
namespace {

using GetTable = decltype(&GetIpForwardTable2);
using FreeTable = decltype(&FreeMibTable);

// A kernel IPv6 route as Windows lists one.
bool Ipv6Row(const AgentRecord& record, MIB_IPFORWARD_ROW2& row) {
    std::memset(&row, 0, sizeof(row));
    const std::uint32_t index = static_cast<std::uint32_t>(record.number("index"));
    if (!LuidOfIndex(index, row.InterfaceLuid)) return false;
    row.InterfaceIndex = index;
    row.DestinationPrefix.Prefix.si_family = AF_INET6;
    row.NextHop.si_family = AF_INET6;
    if (inet_pton(AF_INET6, record.text("destination").c_str(), &row.DestinationPrefix.Prefix.Ipv6.sin6_addr) != 1)
        return false;
    if (inet_pton(AF_INET6, record.text("next_hop").c_str(), &row.NextHop.Ipv6.sin6_addr) != 1) return false;
    row.DestinationPrefix.PrefixLength = static_cast<UINT8>(record.number("prefix"));
    row.ValidLifetime = 0xFFFFFFFFu;
    row.PreferredLifetime = 0xFFFFFFFFu;
    row.Metric = static_cast<ULONG>(record.number("metric"));
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(record.number("protocol"));
    row.Immortal = TRUE;
    row.Origin = NlroManual;
    return true;
}

bool ReadIpv6Rows(AgentLink& link, std::vector<MIB_IPFORWARD_ROW2>& rows) {
    AgentReply reply;
    if (!link.request("routes6", reply) || reply.code != 0) return false;
    for (const AgentRecord& record : reply.records) {
        MIB_IPFORWARD_ROW2 row;
        if (record.kind == "route" && Ipv6Row(record, row)) rows.push_back(row);
    }
    return true;
}

DWORD BuildTable(MIB_IPFORWARD_TABLE2* ipv4, const std::vector<MIB_IPFORWARD_ROW2>& ipv6, MIB_IPFORWARD_TABLE2** out) {
    const ULONG count = (ipv4 != nullptr ? ipv4->NumEntries : 0) + static_cast<ULONG>(ipv6.size());
    const std::size_t bytes =
        offsetof(MIB_IPFORWARD_TABLE2, Table) + std::max<ULONG>(count, 1) * sizeof(MIB_IPFORWARD_ROW2);
    auto* table = static_cast<MIB_IPFORWARD_TABLE2*>(AllocateOwnTable(bytes));
    if (table == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    ULONG next = 0;
    for (ULONG i = 0; ipv4 != nullptr && i < ipv4->NumEntries; ++i) table->Table[next++] = ipv4->Table[i];
    for (const MIB_IPFORWARD_ROW2& row : ipv6) table->Table[next++] = row;
    table->NumEntries = next;
    *out = table;
    return NO_ERROR;
}

}  // namespace
}  // namespace vantorel::route_shim

extern "C" DWORD WINAPI GetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table) {
    using namespace vantorel::route_shim;
    if (table == nullptr) return ERROR_INVALID_PARAMETER;
    *table = nullptr;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) return ERROR_INVALID_PARAMETER;
    auto builtin = Builtin<GetTable>("GetIpForwardTable2");
    auto free_table = Builtin<FreeTable>("FreeMibTable");
    if (builtin == nullptr || free_table == nullptr) return ERROR_NOT_SUPPORTED;

    AgentSession agent;  // first, so a dead engine's routes are gone
    if (family == AF_INET || !agent.reachable) return builtin(family, table);

    MIB_IPFORWARD_TABLE2* ipv4 = nullptr;
    if (family == AF_UNSPEC) {
        if (DWORD rc = builtin(AF_INET, &ipv4)) return rc;
    }
    std::vector<MIB_IPFORWARD_ROW2> ipv6;
    const bool listed = ReadIpv6Rows(agent.link, ipv6);
    DWORD rc = listed ? BuildTable(ipv4, ipv6, table) : ERROR_NOT_SUPPORTED;
    if (ipv4 != nullptr) free_table(ipv4);
    return rc;
}
