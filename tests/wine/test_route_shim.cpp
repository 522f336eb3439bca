// The test iphlpapi.dll against the kernel of the end-to-end namespace, through the route agent:
// the route writes answer as Windows does, the IPv6 rows appear, adapters outlive neither their
// holder nor their link, and the product's Win32RouteTable writes act on the real table.
// run_e2e.sh runs this beside the test DLL with the override set; elsewhere every case skips.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "broker/portable/adapter_identity.h"
#include "broker/win32/win32_route_table.h"
#include "common/win32/win_handle.h"
#include "tests/wine/netns_environment.h"
#include "tests/wine/route_shim/agent_link.h"

namespace vantorel {
namespace {

using testing::LuidOfIndex;
using testing::NetnsNumber;

#define REQUIRE_ROUTE_SHIM()                                                                        \
    do {                                                                                            \
        if (NetnsNumber("VANTOREL_SHIM_PHYS_INDEX") == 0)                                           \
            GTEST_SKIP() << "needs the namespace, route agent and test iphlpapi.dll of run_e2e.sh"; \
    } while (0)

std::uint32_t PhysIndex() { return NetnsNumber("VANTOREL_SHIM_PHYS_INDEX"); }
std::uint32_t TunIndex() { return NetnsNumber("VANTOREL_SHIM_TUN_INDEX"); }

MIB_IPFORWARD_ROW2 Ipv4Row(const char* destination, int prefix, const char* next_hop, std::uint32_t index) {
    MIB_IPFORWARD_ROW2 row;
    InitializeIpForwardEntry(&row);
    row.InterfaceIndex = index;
    row.DestinationPrefix.Prefix.si_family = AF_INET;
    inet_pton(AF_INET, destination, &row.DestinationPrefix.Prefix.Ipv4.sin_addr);
    row.DestinationPrefix.PrefixLength = static_cast<UINT8>(prefix);
    row.NextHop.si_family = AF_INET;
    inet_pton(AF_INET, next_hop, &row.NextHop.Ipv4.sin_addr);
    row.Metric = 7;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    return row;
}

MIB_IPFORWARD_ROW2 Ipv6Row(const char* destination, int prefix, std::uint32_t index) {
    MIB_IPFORWARD_ROW2 row;
    InitializeIpForwardEntry(&row);
    row.InterfaceIndex = index;
    row.DestinationPrefix.Prefix.si_family = AF_INET6;
    inet_pton(AF_INET6, destination, &row.DestinationPrefix.Prefix.Ipv6.sin6_addr);
    row.DestinationPrefix.PrefixLength = static_cast<UINT8>(prefix);
    row.NextHop.si_family = AF_INET6;
    row.Metric = 7;
    return row;
}

// Rows of a table read now that match the family, prefix text and interface.
int CountRows(ADDRESS_FAMILY family, ADDRESS_FAMILY row_family, const char* destination, int prefix,
              std::uint32_t index) {
    MIB_IPFORWARD_TABLE2* table = nullptr;
    if (GetIpForwardTable2(family, &table) != NO_ERROR) return -1;
    int found = 0;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table->Table[i];
        if (row.DestinationPrefix.Prefix.si_family != row_family) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* bytes = row_family == AF_INET6
                                ? static_cast<const void*>(&row.DestinationPrefix.Prefix.Ipv6.sin6_addr)
                                : static_cast<const void*>(&row.DestinationPrefix.Prefix.Ipv4.sin_addr);
        inet_ntop(row_family, const_cast<void*>(bytes), text, sizeof(text));
        if (std::string(text) == destination && row.DestinationPrefix.PrefixLength == prefix &&
            row.InterfaceIndex == index && row.InterfaceLuid.Value == LuidOfIndex(index))
            ++found;
    }
    FreeMibTable(table);
    return found;
}

std::vector<IP_ADAPTER_ADDRESSES> Adapters() {
    ULONG size = 65536;
    std::vector<std::uint64_t> buffer(size / 8);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    std::vector<IP_ADAPTER_ADDRESSES> out;
    if (GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX, nullptr, first, &size) != NO_ERROR) return out;
    for (auto* a = first; a != nullptr; a = a->Next) out.push_back(*a);
    return out;
}

bool Listed(const wchar_t* name) {
    for (const auto& a : Adapters()) {
        if (a.FriendlyName != nullptr && std::wstring(a.FriendlyName) == name) return true;
    }
    return false;
}

std::string CreationOf(HANDLE process) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    GetProcessTimes(process, &creation, &exit, &kernel, &user);
    return std::to_string((static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime);
}

bool Hold(route_shim::AgentLink& link, DWORD pid, HANDLE process) {
    route_shim::AgentReply reply;
    return link.request("hold_adapter name=VantorelTun pid=" + std::to_string(pid) + " created=" + CreationOf(process),
                        reply) &&
           reply.code == 0;
}

TEST(RouteShim, InitializeIpForwardEntrySetsTheDocumentedDefaults) {
    REQUIRE_ROUTE_SHIM();
    MIB_IPFORWARD_ROW2 row;
    std::memset(&row, 0xAB, sizeof(row));
    InitializeIpForwardEntry(&row);
    EXPECT_EQ(row.ValidLifetime, 0xFFFFFFFFu);
    EXPECT_EQ(row.PreferredLifetime, 0xFFFFFFFFu);
    EXPECT_TRUE(row.Loopback && row.AutoconfigureAddress && row.Publish && row.Immortal);
    EXPECT_EQ(row.InterfaceLuid.Value, 0u);
    EXPECT_EQ(row.InterfaceIndex, 0u);
    EXPECT_EQ(row.DestinationPrefix.Prefix.si_family, AF_UNSPEC);
    EXPECT_EQ(row.NextHop.si_family, AF_UNSPEC);
    EXPECT_EQ(row.Age, 0u);
}

TEST(RouteShim, MalformedRowsAndUnknownInterfacesAreRefusedAsWindowsDoes) {
    REQUIRE_ROUTE_SHIM();
    struct Case {
        const char* what;
        void (*spoil)(MIB_IPFORWARD_ROW2&);
        DWORD create;
        DWORD remove;
    };
    const Case cases[] = {
        {"no destination family", [](MIB_IPFORWARD_ROW2& r) { r.DestinationPrefix.Prefix.si_family = AF_UNSPEC; }, 87,
         87},
        {"prefix longer than 32", [](MIB_IPFORWARD_ROW2& r) { r.DestinationPrefix.PrefixLength = 33; }, 87, 87},
        {"next hop of no family", [](MIB_IPFORWARD_ROW2& r) { r.NextHop.si_family = AF_UNSPEC; }, 87, 87},
        {"next hop of the other family", [](MIB_IPFORWARD_ROW2& r) { r.NextHop.si_family = AF_INET6; }, 87, 87},
        {"neither LUID nor index", [](MIB_IPFORWARD_ROW2& r) { r.InterfaceIndex = 0; }, 87, 87},
        {"preferred beyond valid lifetime",
         [](MIB_IPFORWARD_ROW2& r) {
             r.ValidLifetime = 10;
             r.PreferredLifetime = 20;
         },
         87, 1168},
        {"site prefix beyond the prefix", [](MIB_IPFORWARD_ROW2& r) { r.SitePrefixLength = 40; }, 87, 1168},
        {"host bits beyond the prefix", [](MIB_IPFORWARD_ROW2& r) { r.DestinationPrefix.PrefixLength = 16; }, 87, 87},
        {"unknown interface index", [](MIB_IPFORWARD_ROW2& r) { r.InterfaceIndex = 999; }, 1168, 1168},
        {"LUID of no interface", [](MIB_IPFORWARD_ROW2& r) { r.InterfaceLuid.Value = (6ull << 48) | (999ull << 24); },
         1168, 1168},
        {"next hop off every link",
         [](MIB_IPFORWARD_ROW2& r) { inet_pton(AF_INET, "10.77.0.1", &r.NextHop.Ipv4.sin_addr); }, 1231, 1168},
    };
    for (const Case& c : cases) {
        MIB_IPFORWARD_ROW2 row = Ipv4Row("203.0.113.5", 32, "0.0.0.0", PhysIndex());
        c.spoil(row);
        EXPECT_EQ(CreateIpForwardEntry2(&row), c.create) << c.what;
        EXPECT_EQ(DeleteIpForwardEntry2(&row), c.remove) << c.what;
    }
    EXPECT_EQ(CreateIpForwardEntry2(nullptr), 87u);
    EXPECT_EQ(DeleteIpForwardEntry2(nullptr), 87u);
    EXPECT_EQ(CountRows(AF_INET, AF_INET, "203.0.113.5", 32, PhysIndex()), 0);
}

TEST(RouteShim, RoutesOfBothFamiliesAreCreatedListedAndDeletedOnce) {
    REQUIRE_ROUTE_SHIM();
    struct Case {
        MIB_IPFORWARD_ROW2 row;
        ADDRESS_FAMILY family;
        const char* destination;
        int prefix;
    };
    Case cases[] = {
        {Ipv4Row("203.0.113.0", 24, "0.0.0.0", PhysIndex()), AF_INET, "203.0.113.0", 24},
        {Ipv4Row("198.51.100.7", 32, "10.213.0.1", PhysIndex()), AF_INET, "198.51.100.7", 32},
        {Ipv6Row("2001:db8:7::", 48, PhysIndex()), AF_INET6, "2001:db8:7::", 48},
    };
    for (Case& c : cases) {
        ASSERT_EQ(CreateIpForwardEntry2(&c.row), 0u) << c.destination;
        EXPECT_EQ(CreateIpForwardEntry2(&c.row), 5010u) << c.destination;
        EXPECT_EQ(CountRows(c.family, c.family, c.destination, c.prefix, PhysIndex()), 1) << c.destination;
        EXPECT_EQ(CountRows(AF_UNSPEC, c.family, c.destination, c.prefix, PhysIndex()), 1) << c.destination;
        c.row.InterfaceLuid.Value = LuidOfIndex(PhysIndex());  // by LUID, as the broker deletes
        c.row.InterfaceIndex = 0;
        EXPECT_EQ(DeleteIpForwardEntry2(&c.row), 0u) << c.destination;
        EXPECT_EQ(DeleteIpForwardEntry2(&c.row), 1168u) << c.destination;
        EXPECT_EQ(CountRows(AF_UNSPEC, c.family, c.destination, c.prefix, PhysIndex()), 0) << c.destination;
    }
    EXPECT_EQ(CountRows(AF_INET, AF_INET6, "2001:db8:7::", 48, PhysIndex()), 0) << "IPv4 tables hold no IPv6 row";
}

TEST(RouteShim, TablesRefuseBadArguments) {
    REQUIRE_ROUTE_SHIM();
    MIB_IPFORWARD_TABLE2* forward = nullptr;
    EXPECT_EQ(GetIpForwardTable2(99, &forward), 87u);
    EXPECT_EQ(GetIpForwardTable2(AF_INET6, nullptr), 87u);
    MIB_IPINTERFACE_TABLE* interfaces = nullptr;
    EXPECT_EQ(GetIpInterfaceTable(99, &interfaces), 87u);
    EXPECT_EQ(GetIpInterfaceTable(AF_INET, nullptr), 87u);
    FreeMibTable(nullptr);
}

TEST(RouteShim, InterfaceRowsCarryTheAgentsInterfaceMetric) {
    REQUIRE_ROUTE_SHIM();
    MIB_IPINTERFACE_ROW row;
    std::memset(&row, 0xAB, sizeof(row));
    InitializeIpInterfaceEntry(&row);
    EXPECT_EQ(row.Family, AF_UNSPEC);
    EXPECT_EQ(row.InterfaceLuid.Value, 0u);
    EXPECT_EQ(GetIpInterfaceEntry(&row), 87u) << "no family";
    row.Family = AF_INET;
    EXPECT_EQ(GetIpInterfaceEntry(&row), 87u) << "no interface";
    row.InterfaceIndex = 999;
    EXPECT_EQ(GetIpInterfaceEntry(&row), 1168u);

    route_shim::AgentLink link;
    route_shim::AgentReply reply;
    ASSERT_TRUE(link.request("interface_metric name=vt-phys metric=7", reply));
    for (ADDRESS_FAMILY family : {AF_INET, AF_INET6}) {
        InitializeIpInterfaceEntry(&row);
        row.Family = family;
        row.InterfaceLuid.Value = LuidOfIndex(PhysIndex());
        ASSERT_EQ(GetIpInterfaceEntry(&row), 0u) << family;
        EXPECT_EQ(row.InterfaceIndex, PhysIndex());
        EXPECT_EQ(row.Metric, 7u);
        EXPECT_TRUE(row.Connected);
    }
    ASSERT_TRUE(link.request("interface_metric name=vt-phys metric=25", reply));

    MIB_IPINTERFACE_TABLE* table = nullptr;
    ASSERT_EQ(GetIpInterfaceTable(AF_UNSPEC, &table), 0u);
    int phys_rows = 0;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        if (table->Table[i].InterfaceIndex == PhysIndex()) {
            ++phys_rows;
            EXPECT_EQ(table->Table[i].Metric, 25u);
        }
    }
    FreeMibTable(table);
    EXPECT_EQ(phys_rows, 2) << "one row per family";
}

TEST(RouteShim, AnAdapterIsListedWhileItsHolderRunsAndItsLinkExists) {
    REQUIRE_ROUTE_SHIM();
    ASSERT_FALSE(Listed(L"VantorelTun"));
    {
        route_shim::AgentLink holder;
        ASSERT_TRUE(Hold(holder, GetCurrentProcessId(), GetCurrentProcess()));
        const auto adapters = Adapters();
        bool up = false;
        for (const auto& a : adapters) {
            if (std::wstring(a.FriendlyName) != L"VantorelTun") continue;
            up = a.OperStatus == IfOperStatusUp && a.IfIndex == TunIndex();
            EXPECT_EQ(a.Luid.Value, LuidOfIndex(TunIndex()));
        }
        EXPECT_TRUE(up);
        route_shim::AgentReply reply;
        ASSERT_TRUE(holder.request("release name=VantorelTun pid=" + std::to_string(GetCurrentProcessId()), reply));
        EXPECT_FALSE(Listed(L"VantorelTun")) << "Wine still knows the deleted link; it must not be listed";
    }
}

TEST(RouteShim, AnAdapterWhoseHolderEndedIsGoneBeforeAnyAnswer) {
    REQUIRE_ROUTE_SHIM();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    wchar_t command[] = L"cmd.exe /c exit 0";
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                               &child));
    WinHandle process(child.hProcess);  // kept open, so the ended child's id is not reused
    WinHandle thread(child.hThread);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);

    route_shim::AgentLink holder;  // its connection stays open: only the ended holder can tell
    ASSERT_TRUE(Hold(holder, child.dwProcessId, process.get()));
    EXPECT_FALSE(Listed(L"VantorelTun"));
    EXPECT_EQ(CountRows(AF_UNSPEC, AF_INET, "172.19.0.0", 30, TunIndex()), 0) << "its link and routes are gone";
}

// The product's route writes, compile-only under plain Wine, against the kernel's table.
TEST(RouteShim, RouteTableWritesActOnTheKernel) {
    REQUIRE_ROUTE_SHIM();
    route_shim::AgentLink holder;
    ASSERT_TRUE(Hold(holder, GetCurrentProcessId(), GetCurrentProcess()));
    Win32RouteTable table;
    AdapterInfo tun;
    ASSERT_TRUE(table.find_tun_adapter(tun)) << table.last_error();
    EXPECT_EQ(tun.index, TunIndex());
    EXPECT_EQ(tun.guid, EngineAdapterGuid("VantorelTun"));  // the agent made it as Wintun would

    PinRoute pin;
    ASSERT_TRUE(table.find_physical_route("192.0.2.99", pin));
    ASSERT_TRUE(table.add_pin_route(pin));
    EXPECT_TRUE(table.add_pin_route(pin)) << "an existing route counts as made";
    EXPECT_FALSE(table.pin_route_absent(pin));

    std::vector<CaptureRoute> installed;
    ASSERT_TRUE(table.add_capture_routes(tun, installed)) << table.last_error();
    EXPECT_EQ(installed.size(), 4u);
    AdapterInfo seen;
    std::vector<CaptureRoute> found;
    EXPECT_TRUE(table.verify_capture_routes(seen, found));
    EXPECT_EQ(CountRows(AF_INET6, AF_INET6, "8000::", 1, TunIndex()), 1);

    PinRoute anywhere;
    anywhere.destination = pin.destination;  // LUID 0: on every interface
    EXPECT_TRUE(table.delete_pin_route(anywhere));
    EXPECT_TRUE(table.pin_route_absent(pin));
    EXPECT_TRUE(table.delete_interface_routes(tun.luid));
    EXPECT_TRUE(table.interface_routes_absent(tun.luid)) << "IPv6 routes included";
    EXPECT_FALSE(table.verify_capture_routes(seen, found));
    route_shim::AgentReply reply;
    EXPECT_TRUE(holder.request("release name=VantorelTun pid=" + std::to_string(GetCurrentProcessId()), reply));
}

}  // namespace
}  // namespace vantorel
