#include "broker/win32/win32_route_table.h"

#include <map>

#include "broker/contracts/own_adapter.h"
#include "broker/portable/adapter_identity.h"
#include "broker/win32/ip_helper_rows.h"
#include "broker/portable/uplink_choice.h"
#include "broker/win32/wide_text.h"
#include "common/win32/winsock_session.h"

namespace vantorel {
namespace {

bool IsIpv4Prefix(const MIB_IPFORWARD_ROW2& row, int length) {
    return row.DestinationPrefix.Prefix.si_family == AF_INET && row.DestinationPrefix.PrefixLength == length;
}

std::uint32_t PrefixAddress(const MIB_IPFORWARD_ROW2& row) {
    return row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr;  // network order
}

// The rows delete_pin_route removes and pin_route_absent looks for.
bool MatchesPinRoute(const MIB_IPFORWARD_ROW2& row, bool destination_parsed, const IN_ADDR& destination,
                     std::uint64_t luid) {
    if (!destination_parsed || !IsIpv4Prefix(row, 32)) return false;
    if (PrefixAddress(row) != destination.s_addr) return false;
    return luid == 0 || row.InterfaceLuid.Value == luid;
}

// Deletes rows in order; 0, 2 and 1168 mean the route is gone (someone else may have
// removed it between the read and the delete).
std::uint32_t DeleteRows(std::vector<MIB_IPFORWARD_ROW2>& rows) {
    for (auto& row : rows) {
        DWORD rc = DeleteIpForwardEntry2(&row);
        if (rc != NO_ERROR && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_NOT_FOUND) return rc;
    }
    return 0;
}

// A static route the broker owns: platform defaults, management protocol, given metric.
MIB_IPFORWARD_ROW2 OwnRouteRow(std::uint64_t luid, std::uint32_t index, std::uint32_t metric) {
    MIB_IPFORWARD_ROW2 row;
    InitializeIpForwardEntry(&row);
    row.InterfaceLuid.Value = luid;
    row.InterfaceIndex = index;
    row.Metric = metric;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    return row;
}

bool SetIpv4Destination(MIB_IPFORWARD_ROW2& row, const std::string& text, int prefix_length) {
    IN_ADDR address{};
    if (!ParseIpv4(text, address)) return false;
    row.DestinationPrefix.Prefix.si_family = AF_INET;
    row.DestinationPrefix.Prefix.Ipv4.sin_addr = address;
    row.DestinationPrefix.PrefixLength = static_cast<UINT8>(prefix_length);
    row.NextHop.si_family = AF_INET;  // unspecified gateway: all zero
    return true;
}

bool SetIpv6Destination(MIB_IPFORWARD_ROW2& row, const std::string& text, int prefix_length) {
    EnsureWinsockStarted();
    IN6_ADDR address{};
    if (inet_pton(AF_INET6, text.c_str(), &address) != 1) return false;
    row.DestinationPrefix.Prefix.si_family = AF_INET6;
    row.DestinationPrefix.Prefix.Ipv6.sin6_addr = address;
    row.DestinationPrefix.PrefixLength = static_cast<UINT8>(prefix_length);
    row.NextHop.si_family = AF_INET6;
    return true;
}

// Interface metrics of IPv4 by LUID, read once per call; empty when the system cannot say
// (Wine answers 50).
std::map<std::uint64_t, std::uint32_t> ReadInterfaceMetrics() {
    std::map<std::uint64_t, std::uint32_t> metrics;
    MIB_IPINTERFACE_TABLE* raw = nullptr;
    // Quirk: docs/windows-quirks.md, "Route metric".
    const DWORD rc = GetIpInterfaceTable(AF_INET, &raw);
    ScopedResource<MIB_IPINTERFACE_TABLE*, FreeMibTable> table(raw);
    if (rc != NO_ERROR || !table) return metrics;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        const MIB_IPINTERFACE_ROW& row = table.get()->Table[i];
        metrics[row.InterfaceLuid.Value] = row.Metric;
    }
    return metrics;
}

// The IPv4 routes of prefix length 0 (and 1 when asked), in table order, with their interfaces.
struct UplinkTable {
    std::vector<const MIB_IPFORWARD_ROW2*> routes;
    std::vector<UplinkRow> rows;
    std::vector<std::wstring> aliases;
};

void CollectUplinkRows(const MIB_IPFORWARD_TABLE2& table, bool with_halves, UplinkTable& out) {
    const std::map<std::uint64_t, std::uint32_t> interface_metrics = ReadInterfaceMetrics();
    for (ULONG i = 0; i < table.NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& route = table.Table[i];
        if (!IsIpv4Prefix(route, 0) && !(with_halves && IsIpv4Prefix(route, 1))) continue;
        UplinkRow row;
        row.prefix_length = route.DestinationPrefix.PrefixLength;
        row.route_metric = route.Metric;
        row.next_hop_ipv4 = route.NextHop.si_family == AF_INET;
        MIB_IF_ROW2 iface;
        std::wstring alias;
        if (ReadInterface(route.InterfaceLuid, iface) == NO_ERROR) {
            alias.assign(AliasOf(iface));
            row.interface_known = true;
            // Quirk: docs/windows-quirks.md, "Which interface is the physical uplink".
            row.hardware = iface.InterfaceAndOperStatusFlags.HardwareInterface != 0;
            row.if_type = iface.Type;
            row.up = iface.OperStatus == kOperStatusUp;
            row.own = IsOwnAdapterName(alias);
        }
        const auto metric = interface_metrics.find(route.InterfaceLuid.Value);
        if (metric != interface_metrics.end()) {
            row.has_interface_metric = true;
            row.interface_metric = metric->second;
        }
        out.routes.push_back(&route);
        out.rows.push_back(row);
        out.aliases.push_back(alias);
    }
}

std::uint32_t CreateRoute(MIB_IPFORWARD_ROW2& row) {
    DWORD rc = CreateIpForwardEntry2(&row);
    if (rc == NO_ERROR || rc == ERROR_OBJECT_ALREADY_EXISTS) return 0;
    return rc;
}

}  // namespace

bool Win32RouteTable::list_default_routes(std::vector<DefaultRouteInfo>& out) {
    out.clear();
    ForwardTable table;
    if (std::uint32_t rc = ReadForwardTable(AF_INET, table)) return fail(rc);
    UplinkTable uplinks;
    CollectUplinkRows(*table.get(), true, uplinks);
    const std::vector<bool> physical = PhysicalUplinks(uplinks.rows);
    const std::vector<std::uint32_t> metrics = EffectiveMetrics(uplinks.rows);
    for (std::size_t i = 0; i < uplinks.rows.size(); ++i) {
        const UplinkRow& row = uplinks.rows[i];
        if (!row.interface_known) continue;
        DefaultRouteInfo info;
        info.interface_alias = WideToUtf8(uplinks.aliases[i]);
        info.own = row.own;
        info.physical = physical[i];
        info.up = row.up;
        info.prefix_length = row.prefix_length;
        info.destination = ntohl(PrefixAddress(*uplinks.routes[i]));
        info.metric = metrics[i];
        out.push_back(info);
    }
    return succeed();
}

bool Win32RouteTable::find_physical_route(const std::string& server_ipv4, PinRoute& out) {
    IN_ADDR server{};
    if (!ParseIpv4(server_ipv4, server)) return fail(ERROR_INVALID_PARAMETER);
    ForwardTable table;
    if (ReadForwardTable(AF_INET, table) != 0) return fail(ERROR_NOT_FOUND);
    UplinkTable uplinks;
    CollectUplinkRows(*table.get(), false, uplinks);
    const int chosen = ChoosePhysicalRoute(uplinks.rows);
    if (chosen < 0) return fail(ERROR_NOT_FOUND);
    const MIB_IPFORWARD_ROW2* best = uplinks.routes[static_cast<std::size_t>(chosen)];
    out = PinRoute{};
    out.destination = server_ipv4;
    out.interface_luid = best->InterfaceLuid.Value;
    out.interface_index = best->InterfaceIndex;
    out.physical_index = best->InterfaceIndex;
    out.next_hop = FormatIpv4(best->NextHop.Ipv4.sin_addr);
    // The route metric only: Windows adds the interface's metric to the pin route by itself.
    out.metric = best->Metric == 0 ? 1 : best->Metric;
    if (out.next_hop.empty() || out.interface_luid == 0) return fail(ERROR_NOT_FOUND);
    return succeed();
}

bool Win32RouteTable::add_pin_route(const PinRoute& route) {
    IN_ADDR gateway{};
    if (!ParseIpv4(route.next_hop, gateway)) return fail(ERROR_INVALID_PARAMETER);
    MIB_IPFORWARD_ROW2 row =
        OwnRouteRow(route.interface_luid, route.interface_index, route.metric == 0 ? 1 : route.metric);
    if (!SetIpv4Destination(row, route.destination, 32)) return fail(ERROR_INVALID_PARAMETER);
    row.NextHop.Ipv4.sin_addr = gateway;
    if (std::uint32_t rc = CreateRoute(row)) return fail(rc);
    return succeed();
}

bool Win32RouteTable::delete_pin_route(const PinRoute& route) {
    IN_ADDR destination{};
    bool parsed = ParseIpv4(route.destination, destination);
    std::vector<MIB_IPFORWARD_ROW2> doomed;
    {
        ForwardTable table;
        if (std::uint32_t rc = ReadForwardTable(AF_INET, table)) return fail(rc);
        for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
            const MIB_IPFORWARD_ROW2& row = table.get()->Table[i];
            if (MatchesPinRoute(row, parsed, destination, route.interface_luid)) doomed.push_back(row);
        }
    }
    if (std::uint32_t rc = DeleteRows(doomed)) return fail(rc);
    return succeed();
}

bool Win32RouteTable::pin_route_absent(const PinRoute& route) {
    IN_ADDR destination{};
    bool parsed = ParseIpv4(route.destination, destination);
    ForwardTable table;
    if (std::uint32_t rc = ReadForwardTable(AF_INET, table)) return fail(rc);
    last_error_ = 0;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        if (MatchesPinRoute(table.get()->Table[i], parsed, destination, route.interface_luid)) return false;
    }
    return true;
}

bool Win32RouteTable::delete_interface_routes(std::uint64_t luid) {
    std::vector<MIB_IPFORWARD_ROW2> doomed;
    {
        ForwardTable table;
        if (std::uint32_t rc = ReadForwardTable(AF_UNSPEC, table)) return fail(rc);
        for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
            const MIB_IPFORWARD_ROW2& row = table.get()->Table[i];
            if (row.InterfaceLuid.Value == luid) doomed.push_back(row);
        }
    }
    if (std::uint32_t rc = DeleteRows(doomed)) return fail(rc);
    return succeed();
}

bool Win32RouteTable::interface_routes_absent(std::uint64_t luid) {
    ForwardTable table;
    if (std::uint32_t rc = ReadForwardTable(AF_UNSPEC, table)) return fail(rc);
    last_error_ = 0;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        if (table.get()->Table[i].InterfaceLuid.Value == luid) return false;
    }
    return true;
}

bool Win32RouteTable::list_own_adapters(std::vector<AdapterInfo>& out) {
    out.clear();
    // 8-byte cells keep IP_ADAPTER_ADDRESSES aligned inside the buffer.
    ULONG size = 16384;
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ULONG rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX, nullptr, first, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.assign((size + 7) / 8, 0);
        first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX, nullptr, first, &size);
    }
    if (rc != NO_ERROR) return fail(rc);
    for (const IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
        if (a->FriendlyName == nullptr || !IsOwnAdapterName(std::wstring_view(a->FriendlyName))) continue;
        AdapterInfo info;
        info.name = WideToUtf8(a->FriendlyName);
        info.guid = a->AdapterName != nullptr ? a->AdapterName : "";
        // A renamed foreign adapter keeps its own GUID: never removed, never given the capture.
        if (!IsOwnAdapter(info.name, info.guid)) continue;
        info.luid = a->Luid.Value;
        info.index = a->IfIndex;
        info.up = a->OperStatus == IfOperStatusUp;
        out.push_back(info);
    }
    return succeed();
}

bool Win32RouteTable::find_tun_adapter(AdapterInfo& out) {
    std::vector<AdapterInfo> adapters;
    if (!list_own_adapters(adapters)) return false;
    for (const AdapterInfo& a : adapters) {
        if (a.name == kTunAdapterName && a.up && a.luid != 0 && a.index != 0) {
            out = a;
            return succeed();
        }
    }
    return fail(ERROR_NOT_FOUND);
}

bool Win32RouteTable::add_capture_routes(const AdapterInfo& tun, std::vector<CaptureRoute>& out) {
    if (tun.luid == 0 || tun.index == 0) return fail(ERROR_INVALID_PARAMETER);
    out.clear();
    struct Capture {
        const char* destination;
        bool ipv6;
    };
    static constexpr Capture kCaptures[] = {{"0.0.0.0", false}, {"128.0.0.0", false}, {"::", true}, {"8000::", true}};
    for (const Capture& c : kCaptures) {
        MIB_IPFORWARD_ROW2 row = OwnRouteRow(tun.luid, tun.index, 1);
        bool parsed = c.ipv6 ? SetIpv6Destination(row, c.destination, 1) : SetIpv4Destination(row, c.destination, 1);
        if (!parsed) return fail(ERROR_INVALID_PARAMETER);
        if (std::uint32_t rc = CreateRoute(row)) return fail(rc);
        out.push_back(CaptureRoute{c.destination, 1, tun.luid, tun.index});
    }
    return succeed();
}

bool Win32RouteTable::add_host_route(const AdapterInfo& tun, const std::string& ipv4, CaptureRoute& out) {
    if (tun.luid == 0 || tun.index == 0 || ipv4.empty()) return fail(ERROR_INVALID_PARAMETER);
    MIB_IPFORWARD_ROW2 row = OwnRouteRow(tun.luid, tun.index, 1);
    if (!SetIpv4Destination(row, ipv4, 32)) return fail(ERROR_INVALID_PARAMETER);
    if (std::uint32_t rc = CreateRoute(row)) return fail(rc);
    out = CaptureRoute{ipv4, 32, tun.luid, tun.index};
    return succeed();
}

bool Win32RouteTable::delete_host_route(const CaptureRoute& route) {
    IN_ADDR destination{};
    if (route.interface_luid == 0 || route.prefix_length != 32 || !ParseIpv4(route.destination, destination))
        return fail(ERROR_INVALID_PARAMETER);
    ForwardTable table;
    if (std::uint32_t rc = ReadForwardTable(AF_INET, table)) return fail(rc);
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        MIB_IPFORWARD_ROW2& row = table.get()->Table[i];
        if (row.InterfaceLuid.Value != route.interface_luid || !IsIpv4Prefix(row, 32)) continue;
        if (PrefixAddress(row) != destination.s_addr) continue;
        DWORD rc = DeleteIpForwardEntry2(&row);
        if (rc != NO_ERROR && rc != ERROR_NOT_FOUND) return fail(rc);
    }
    return succeed();
}

bool Win32RouteTable::verify_capture_routes(AdapterInfo& tun_out, std::vector<CaptureRoute>& found) {
    found.clear();
    std::vector<AdapterInfo> adapters;
    if (!list_own_adapters(adapters)) return false;
    const AdapterInfo* tun = nullptr;
    for (const AdapterInfo& a : adapters) {
        if (a.name == kTunAdapterName && a.up && a.index != 0) tun = &a;  // the last one listed
    }
    if (tun == nullptr) return fail(ERROR_NOT_FOUND);
    ForwardTable table;
    if (std::uint32_t rc = ReadForwardTable(AF_INET, table)) return fail(rc);
    bool lower = false;
    bool upper = false;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table.get()->Table[i];
        if (row.InterfaceLuid.Value != tun->luid || !IsIpv4Prefix(row, 1)) continue;
        std::uint32_t destination = ntohl(PrefixAddress(row));
        if (destination == 0) {
            lower = true;
            found.push_back(CaptureRoute{"0.0.0.0", 1, tun->luid, tun->index});
        } else if (destination == 0x80000000u) {
            upper = true;
            found.push_back(CaptureRoute{"128.0.0.0", 1, tun->luid, tun->index});
        }
    }
    if (!lower || !upper) return fail(ERROR_NOT_FOUND);
    tun_out = *tun;
    return succeed();
}

}  // namespace vantorel
