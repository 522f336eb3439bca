// InitializeIpForwardEntry, CreateIpForwardEntry2 and DeleteIpForwardEntry2, which Wine 8 lacks:
// the row is checked here as Windows checks it, the interface looked up, and the change made by
// the route agent in the kernel's table.

#include <cstring>

#include "tests/wine/route_shim/agent_link.h"
#include "tests/wine/route_shim/agent_view.h"
#include "tests/wine/route_shim/builtin.h"
#include "tests/wine/route_shim/route_rows.h"

namespace vantorel::route_shim {
namespace {

std::uint32_t WriteRoute(const MIB_IPFORWARD_ROW2* row, RouteWrite write) {
    if (std::uint32_t rc = CheckRouteRow(row, write)) return rc;
    const std::uint32_t index = InterfaceIndexOf(row->InterfaceLuid, row->InterfaceIndex);
    if (index == 0) return ERROR_NOT_FOUND;
    AgentSession agent;
    if (!agent.reachable) return ERROR_NOT_SUPPORTED;
    if (agent.view.find(index) == nullptr) return ERROR_NOT_FOUND;
    AgentReply reply;
    const char* verb = write == RouteWrite::create ? "route_add" : "route_delete";
    if (!agent.link.request(RouteRequestLine(verb, *row, index), reply)) return ERROR_NOT_SUPPORTED;
    return reply.code;
}

}  // namespace
}  // namespace vantorel::route_shim

extern "C" VOID WINAPI InitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
    if (row == nullptr) return;
    std::memset(row, 0, sizeof(*row));
    row->ValidLifetime = 0xFFFFFFFFu;
    row->PreferredLifetime = 0xFFFFFFFFu;
    row->Loopback = TRUE;
    row->AutoconfigureAddress = TRUE;
    row->Publish = TRUE;
    row->Immortal = TRUE;
    row->SitePrefixLength = vantorel::route_shim::kUnsetSitePrefixLength;
    row->Metric = vantorel::route_shim::kUnsetMetric;
    row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(vantorel::route_shim::kUnsetProtocol);
}

extern "C" DWORD WINAPI CreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
    return vantorel::route_shim::WriteRoute(row, vantorel::route_shim::RouteWrite::create);
}

extern "C" DWORD WINAPI DeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
    return vantorel::route_shim::WriteRoute(row, vantorel::route_shim::RouteWrite::remove);
}
