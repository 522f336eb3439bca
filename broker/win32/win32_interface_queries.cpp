// Win32RouteTable: who holds an interface LUID now, whether IPv6 could leave outside the
// tunnel, and the whole table for the watch.

#include <map>

#include "broker/portable/adapter_identity.h"
#include "broker/win32/ip_helper_rows.h"
#include "broker/win32/wide_text.h"
#include "broker/win32/win32_route_table.h"

namespace vantorel {
namespace {

bool IsOwnInterface(const MIB_IF_ROW2& row) {
    return IsOwnAdapter(WideToUtf8(AliasOf(row)), GuidText(row.InterfaceGuid));
}

}  // namespace

bool Win32RouteTable::interface_holder(std::uint64_t luid, InterfaceHolder& out) {
    NET_LUID key{};
    key.Value = luid;
    MIB_IF_ROW2 row;
    const std::uint32_t rc = ReadInterface(key, row);
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_NOT_FOUND) {
        out = InterfaceHolder::none;
        return succeed();
    }
    if (rc != NO_ERROR) return fail(rc);
    out = IsOwnInterface(row) ? InterfaceHolder::own : InterfaceHolder::other;
    return succeed();
}

// Counted whatever the interface's state: one that is down now can come up during the session.
bool Win32RouteTable::ipv6_default_route_present(bool& present) {
    present = false;
    ForwardTable table;
    const std::uint32_t rc = ReadForwardTable(AF_INET6, table);
    // No IPv6 stack at all: nothing can leave over IPv6.
    if (rc == ERROR_NOT_SUPPORTED) return succeed();
    if (rc != 0) return fail(rc);
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& route = table.get()->Table[i];
        if (route.DestinationPrefix.Prefix.si_family != AF_INET6 || route.DestinationPrefix.PrefixLength != 0) continue;
        MIB_IF_ROW2 iface;
        // An interface that cannot be read is not known to be ours.
        if (ReadInterface(route.InterfaceLuid, iface) == NO_ERROR && IsOwnInterface(iface)) continue;
        present = true;
        break;
    }
    return succeed();
}

bool Win32RouteTable::list_local_ipv4(std::vector<std::string>& out) {
    out.clear();
    MIB_UNICASTIPADDRESS_TABLE* raw = nullptr;
    const DWORD rc = GetUnicastIpAddressTable(AF_INET, &raw);
    ScopedResource<MIB_UNICASTIPADDRESS_TABLE*, FreeMibTable> table(raw);
    if (rc == ERROR_NOT_FOUND) return succeed();
    if (rc != NO_ERROR) return fail(rc);
    if (!table) return succeed();
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        char text[INET_ADDRSTRLEN] = {};
        const IN_ADDR address = table.get()->Table[i].Address.Ipv4.sin_addr;
        if (inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr) out.emplace_back(text);
    }
    return succeed();
}

bool Win32RouteTable::list_routes(std::vector<RouteRow>& out) {
    out.clear();
    ForwardTable table;
    const std::uint32_t rc = ReadForwardTable(AF_UNSPEC, table);
    if (rc != 0) return fail(rc);
    std::map<std::uint64_t, bool> own;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& route = table.get()->Table[i];
        const SOCKADDR_INET& prefix = route.DestinationPrefix.Prefix;
        char text[INET6_ADDRSTRLEN] = {};
        if (prefix.si_family == AF_INET) {
            inet_ntop(AF_INET, &prefix.Ipv4.sin_addr, text, sizeof text);
        } else if (prefix.si_family == AF_INET6) {
            inet_ntop(AF_INET6, &prefix.Ipv6.sin6_addr, text, sizeof text);
        } else {
            continue;
        }
        RouteRow row;
        row.destination = text;
        row.prefix_length = route.DestinationPrefix.PrefixLength;
        row.interface_luid = route.InterfaceLuid.Value;
        const auto known = own.find(row.interface_luid);
        if (known != own.end()) {
            row.own = known->second;
        } else {
            MIB_IF_ROW2 iface;
            row.own = ReadInterface(route.InterfaceLuid, iface) == NO_ERROR && IsOwnInterface(iface);
            own[row.interface_luid] = row.own;
        }
        out.push_back(std::move(row));
    }
    return succeed();
}

}  // namespace vantorel
