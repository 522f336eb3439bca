#include <algorithm>

#include "broker/contracts/own_adapter.h"
#include "broker/portable/adapter_identity.h"
#include "broker/portable/ledger_text.h"
#include "tests/fakes/fake_host.h"

namespace vantorel {

namespace {

using win32_error::invalid_parameter;
using win32_error::not_found;
using win32_error::object_already_exists;

std::uint32_t DottedToHostOrder(const std::string& text) {
    std::uint32_t value = 0;
    std::uint32_t octet = 0;
    for (char c : text) {
        if (c == '.') {
            value = (value << 8) | (octet & 0xFF);
            octet = 0;
        } else if (c >= '0' && c <= '9') {
            octet = octet * 10 + static_cast<std::uint32_t>(c - '0');
        }
    }
    return (value << 8) | (octet & 0xFF);
}

bool IsIpv4Route(const FakeRoute& route) { return route.destination.find(':') == std::string::npos; }

bool IsOwn(const std::string& alias) { return IsOwnAdapterName(std::string_view(alias)); }
// As the Windows layer decides: the name and the GUID the engine derives from it.
bool IsGenuine(const FakeInterface& entry) { return IsOwnAdapter(entry.alias, entry.guid); }

FakeInterface* GenuineTun(FakeHost& host) {
    for (FakeInterface& entry : host.interfaces) {
        if (entry.alias == kTunAdapterName && IsGenuine(entry)) return &entry;
    }
    return nullptr;
}

}  // namespace

bool FakeRouteTable::fail(const char* operation) {
    FakeFailure failure;
    if (!host_.take_failure(operation, failure)) return false;
    last_error_ = failure.error;
    return true;
}

bool FakeRouteTable::succeed() {
    last_error_ = 0;
    return true;
}

bool FakeRouteTable::reject(std::uint32_t error) {
    last_error_ = error;
    return false;
}

bool FakeRouteTable::list_default_routes(std::vector<DefaultRouteInfo>& out) {
    out.clear();
    if (fail("list_default_routes")) return false;
    for (const FakeRoute& route : host_.route_table) {
        if (!IsIpv4Route(route) || (route.prefix_length != 0 && route.prefix_length != 1)) continue;
        const FakeInterface* owner = host_.interface_by_luid(route.luid);
        if (owner == nullptr) continue;
        DefaultRouteInfo info;
        info.interface_alias = owner->alias;
        info.own = IsOwn(owner->alias);
        info.physical = owner->physical && !info.own;
        info.up = owner->up;
        info.prefix_length = route.prefix_length;
        info.destination = DottedToHostOrder(route.destination);
        info.metric = route.metric;
        out.push_back(info);
    }
    return succeed();
}

bool FakeRouteTable::find_physical_route(const std::string& server_ipv4, PinRoute& out) {
    if (fail("find_physical_route")) return false;
    if (!IsDottedIpv4Text(server_ipv4)) return reject(invalid_parameter);
    const FakeRoute* best = nullptr;
    const FakeInterface* best_owner = nullptr;
    for (const FakeRoute& route : host_.route_table) {
        if (route.destination != "0.0.0.0" || route.prefix_length != 0) continue;
        const FakeInterface* owner = host_.interface_by_luid(route.luid);
        if (owner == nullptr || !owner->up || !owner->physical || IsOwn(owner->alias)) continue;
        if (best == nullptr || route.metric < best->metric) {
            best = &route;
            best_owner = owner;
        }
    }
    if (best == nullptr) return reject(not_found);
    out = PinRoute{server_ipv4, best_owner->luid, best_owner->index, best_owner->index, best->next_hop, best->metric};
    return succeed();
}

bool FakeRouteTable::add_pin_route(const PinRoute& route) {
    if (fail("add_pin_route")) return false;
    if (host_.interface_by_luid(route.interface_luid) == nullptr) return reject(not_found);
    for (const FakeRoute& existing : host_.route_table) {
        if (existing.destination == route.destination && existing.prefix_length == 32 &&
            existing.luid == route.interface_luid) {
            return succeed();  // 5010 counts as success
        }
    }
    host_.add_route(route.destination, 32, route.interface_luid, route.next_hop, route.metric == 0 ? 1 : route.metric);
    return succeed();
}

bool FakeRouteTable::delete_pin_route(const PinRoute& route) {
    if (fail("delete_pin_route")) return false;
    auto& table = host_.route_table;
    table.erase(std::remove_if(table.begin(), table.end(),
                               [&](const FakeRoute& entry) {
                                   return IsIpv4Route(entry) && entry.destination == route.destination &&
                                          entry.prefix_length == 32 &&
                                          (route.interface_luid == 0 || entry.luid == route.interface_luid);
                               }),
                table.end());
    return succeed();
}

bool FakeRouteTable::pin_route_absent(const PinRoute& route) {
    if (fail("pin_route_absent")) return false;
    last_error_ = 0;
    return std::none_of(host_.route_table.begin(), host_.route_table.end(), [&](const FakeRoute& entry) {
        return IsIpv4Route(entry) && entry.destination == route.destination && entry.prefix_length == 32 &&
               (route.interface_luid == 0 || entry.luid == route.interface_luid);
    });
}

bool FakeRouteTable::delete_interface_routes(std::uint64_t luid) {
    if (fail("delete_interface_routes")) return false;
    const bool interface_present = host_.interface_by_luid(luid) != nullptr;
    auto& table = host_.route_table;
    table.erase(std::remove_if(
                    table.begin(), table.end(),
                    [&](const FakeRoute& entry) { return entry.luid == luid && !(entry.system && interface_present); }),
                table.end());
    return succeed();
}

bool FakeRouteTable::interface_routes_absent(std::uint64_t luid) {
    if (fail("interface_routes_absent")) return false;
    last_error_ = 0;
    return host_.routes_on(luid).empty();
}

namespace {

// The interface goes, and every route on it with it.
void DropInterface(FakeHost& host, std::uint64_t luid) {
    auto& list = host.interfaces;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const FakeInterface& entry) { return entry.luid == luid; }),
               list.end());
    auto& table = host.route_table;
    table.erase(std::remove_if(table.begin(), table.end(), [&](const FakeRoute& entry) { return entry.luid == luid; }),
                table.end());
}

}  // namespace

bool FakeRouteTable::list_own_adapters(std::vector<AdapterInfo>& out) {
    out.clear();
    if (fail("list_own_adapters")) return false;
    std::vector<std::uint64_t> vanished;
    for (FakeInterface& entry : host_.interfaces) {
        if (!IsGenuine(entry)) continue;
        if (!entry.device_present) {
            if (entry.lingering_listings <= 0) {
                vanished.push_back(entry.luid);
                continue;
            }
            entry.lingering_listings -= 1;
        }
        out.push_back(AdapterInfo{entry.alias, entry.guid, entry.luid, entry.index, entry.up});
    }
    for (std::uint64_t luid : vanished) DropInterface(host_, luid);
    return succeed();
}

bool FakeRouteTable::remove_adapter(const AdapterInfo& adapter) {
    if (fail("remove_adapter")) return false;
    auto& list = host_.interfaces;
    const auto found =
        std::find_if(list.begin(), list.end(), [&](const FakeInterface& entry) { return entry.guid == adapter.guid; });
    // No present device: nothing left to uninstall.
    if (found == list.end() || !found->device_present) return succeed();
    // Uninstalling the device takes its routes with it.
    DropInterface(host_, found->luid);
    return succeed();
}

bool FakeRouteTable::find_tun_adapter(AdapterInfo& out) {
    host_.tun_polls += 1;
    const FakeEngineScript& script = host_.engine_script;
    if (host_.process.alive && host_.process.resumed && script.creates_tun &&
        host_.tun_polls > script.tun_after_polls && GenuineTun(host_) == nullptr) {
        FakeInterface& tun = host_.add_interface(kTunAdapterName, FakeHost::kTunLuid, FakeHost::kTunIndex, false);
        tun.up = script.tun_up;
    }
    const FakeInterface* tun = GenuineTun(host_);
    if (tun == nullptr || !tun->up || tun->luid == 0 || tun->index == 0) return reject(not_found);
    out = AdapterInfo{tun->alias, tun->guid, tun->luid, tun->index, tun->up};
    return succeed();
}

bool FakeRouteTable::add_capture_routes(const AdapterInfo& tun, std::vector<CaptureRoute>& out) {
    if (host_.interface_by_luid(tun.luid) == nullptr) return reject(not_found);
    static const char* const kHalves[] = {"0.0.0.0", "128.0.0.0", "::", "8000::"};
    for (const char* destination : kHalves) {
        if (fail("add_capture_routes")) return false;
        host_.add_route(destination, 1, tun.luid, "", 0);
        out.push_back(CaptureRoute{destination, 1, tun.luid, tun.index});
    }
    return succeed();
}

bool FakeRouteTable::add_host_route(const AdapterInfo& tun, const std::string& ipv4, CaptureRoute& out) {
    if (fail("add_host_route")) return false;
    if (!IsDottedIpv4Text(ipv4)) return reject(invalid_parameter);
    if (host_.interface_by_luid(tun.luid) == nullptr) return reject(not_found);
    for (const FakeRoute& entry : host_.route_table) {
        if (entry.destination == ipv4 && entry.prefix_length == 32 && entry.luid == tun.luid) {
            return reject(object_already_exists);
        }
    }
    host_.add_route(ipv4, 32, tun.luid, "", 0);
    out = CaptureRoute{ipv4, 32, tun.luid, tun.index};
    return succeed();
}

bool FakeRouteTable::delete_host_route(const CaptureRoute& route) {
    if (fail("delete_host_route")) return false;
    auto& table = host_.route_table;
    const auto found = std::find_if(table.begin(), table.end(), [&](const FakeRoute& entry) {
        return entry.destination == route.destination && entry.prefix_length == 32 &&
               entry.luid == route.interface_luid;
    });
    if (found == table.end()) return reject(not_found);
    table.erase(found);
    return succeed();
}

bool FakeRouteTable::probe_http_direct(const std::string& ipv4, const std::function<bool()>& cancelled) {
    if (host_.on_egress_probe) host_.on_egress_probe();
    // The request reaches the check host only through the engine: a host route into a live TUN.
    const bool through_tun =
        std::any_of(host_.route_table.begin(), host_.route_table.end(), [&](const FakeRoute& entry) {
            return entry.destination == ipv4 && entry.prefix_length == 32 && entry.luid == FakeHost::kTunLuid;
        });
    if (cancelled && cancelled()) return reject(win32_error::timeout);
    if (!through_tun || !host_.process.alive || !host_.egress_works) return reject(win32_error::timeout);
    return succeed();
}

bool FakeRouteTable::verify_capture_routes(AdapterInfo& tun_out, std::vector<CaptureRoute>& found) {
    found.clear();
    if (fail("verify_capture_routes")) return false;
    const FakeInterface* tun = GenuineTun(host_);
    if (tun == nullptr || !tun->up) return reject(not_found);
    for (const char* half : {"0.0.0.0", "128.0.0.0"}) {
        const bool present =
            std::any_of(host_.route_table.begin(), host_.route_table.end(), [&](const FakeRoute& entry) {
                return entry.destination == half && entry.prefix_length == 1 && entry.luid == tun->luid;
            });
        if (!present) return reject(not_found);
        found.push_back(CaptureRoute{half, 1, tun->luid, tun->index});
    }
    tun_out = AdapterInfo{tun->alias, tun->guid, tun->luid, tun->index, tun->up};
    return succeed();
}

bool FakeRouteTable::probe_http_on_interface(std::uint32_t if_index, const std::string& ipv4,
                                             const std::function<bool()>& cancelled) {
    (void)ipv4;
    if (cancelled && cancelled()) return reject(win32_error::timeout);
    const bool known = std::any_of(host_.interfaces.begin(), host_.interfaces.end(),
                                   [&](const FakeInterface& entry) { return entry.index == if_index && entry.up; });
    return known && host_.egress_works ? succeed() : reject(win32_error::timeout);
}

bool FakeRouteTable::interface_holder(std::uint64_t luid, InterfaceHolder& out) {
    if (fail("interface_holder")) return false;
    const FakeInterface* holder = host_.interface_by_luid(luid);
    out = holder == nullptr    ? InterfaceHolder::none
          : IsGenuine(*holder) ? InterfaceHolder::own
                               : InterfaceHolder::other;
    return succeed();
}

bool FakeRouteTable::ipv6_default_route_present(bool& present) {
    if (fail("ipv6_default_route_present")) return false;
    present = std::any_of(host_.route_table.begin(), host_.route_table.end(), [&](const FakeRoute& entry) {
        const FakeInterface* owner = host_.interface_by_luid(entry.luid);
        return entry.destination == "::" && entry.prefix_length == 0 && owner != nullptr && !IsGenuine(*owner);
    });
    return succeed();
}

bool FakeRouteTable::list_routes(std::vector<RouteRow>& out) {
    out.clear();
    if (fail("list_routes")) return false;
    for (const FakeRoute& entry : host_.route_table) {
        const FakeInterface* owner = host_.interface_by_luid(entry.luid);
        out.push_back(
            RouteRow{entry.destination, entry.prefix_length, entry.luid, owner != nullptr && IsOwn(owner->alias)});
    }
    return succeed();
}

}  // namespace vantorel

namespace vantorel {

bool FakeRouteTable::list_local_ipv4(std::vector<std::string>& out) {
    if (fail("list_local_ipv4")) return false;
    out.clear();
    for (const FakeInterface& entry : host_.interfaces) {
        out.insert(out.end(), entry.ipv4_addresses.begin(), entry.ipv4_addresses.end());
    }
    return succeed();
}

}  // namespace vantorel
