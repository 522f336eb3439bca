#include "tests/fakes/fake_host.h"

#include <algorithm>
#include <stdexcept>

#include "broker/contracts/own_adapter.h"
#include "broker/portable/adapter_identity.h"
#include "protocol/connectivity_check.h"

namespace vantorel {

FakeHost::FakeHost() {
    add_interface("Ethernet", kEthernetLuid, kEthernetIndex, true).ipv4_addresses = {"192.168.1.20"};
    add_route("0.0.0.0", 0, kEthernetLuid, "192.168.1.1", 25);
    add_route("192.168.1.0", 24, kEthernetLuid, "", 25);
    resolver.answers["vpn.example.net"] = "198.51.100.20";
    resolver.answers[kConnectivityCheckHost] = "203.0.113.204";
}

std::unique_ptr<TunnelController> FakeHost::make_controller() {
    auto controller =
        std::make_unique<TunnelController>(routes, engine, resolver, probe, files, log, sleeper, firewall);
    controller->set_clock([this] { return clock; });
    return controller;
}

void FakeHost::crash_broker() {
    filters.installed = false;
    if (!process.held) return;
    process.held = false;
    if (process.in_job && process.alive) process.alive = false;
}

FakeInterface& FakeHost::add_interface(const std::string& alias, std::uint64_t luid, std::uint32_t index,
                                       bool physical) {
    FakeInterface entry;
    entry.alias = alias;
    // Own names get the GUID the engine gives them; a test makes an impostor by changing it.
    entry.guid = IsOwnAdapterName(std::string_view(alias))
                     ? EngineAdapterGuid(alias)
                     : "{0000" + std::to_string(luid) + "-0000-4000-8000-000000000000}";
    entry.luid = luid;
    entry.index = index;
    entry.physical = physical;
    interfaces.push_back(entry);
    return interfaces.back();
}

void FakeHost::add_route(const std::string& destination, int prefix_length, std::uint64_t luid,
                         const std::string& next_hop, std::uint32_t metric) {
    route_table.push_back(FakeRoute{destination, prefix_length, luid, next_hop, metric});
}

FakeInterface* FakeHost::interface_by_luid(std::uint64_t luid) {
    for (FakeInterface& entry : interfaces) {
        if (entry.luid == luid) return &entry;
    }
    return nullptr;
}

FakeInterface* FakeHost::interface_by_alias(const std::string& alias) {
    for (FakeInterface& entry : interfaces) {
        if (entry.alias == alias) return &entry;
    }
    return nullptr;
}

std::vector<FakeRoute> FakeHost::routes_on(std::uint64_t luid) const {
    std::vector<FakeRoute> found;
    for (const FakeRoute& route : route_table) {
        if (route.luid == luid) found.push_back(route);
    }
    return found;
}

bool FakeHost::has_host_route(const std::string& destination) const {
    return std::any_of(route_table.begin(), route_table.end(), [&](const FakeRoute& route) {
        return route.destination == destination && route.prefix_length == 32;
    });
}

bool FakeHost::has_own_adapter() const {
    return std::any_of(interfaces.begin(), interfaces.end(),
                       [](const FakeInterface& entry) { return IsOwnAdapter(entry.alias, entry.guid); });
}

bool FakeHost::clean(std::string& why) const {
    why.clear();
    if (process.alive) why += " engine-running";
    for (const FakeRoute& route : route_table) {
        if (route.prefix_length == 32 && route.destination.find('.') != std::string::npos) {
            why += " host-route:" + route.destination;
        }
        if (route.luid == kTunLuid) why += " tun-route:" + route.destination;
    }
    if (has_own_adapter()) why += " own-adapter";
    if (files.engine_config) why += " config-file";
    if (files.ledger_text) why += " ledger-file";
    if (files.pin_text) why += " pin-file";
    if (filters.installed) why += " filters";
    for (const auto& entry : filters.tunnel_dns) {
        if (!entry.second.empty()) why += " tunnel-dns:" + entry.first;
    }
    return why.empty();
}

bool FakeHost::take_failure(const std::string& operation, FakeFailure& failure) {
    if (on_operation) on_operation(operation);
    const auto entry = failures_.find(operation);
    if (entry == failures_.end()) return false;
    Scripted& scripted = entry->second;
    const int call = scripted.calls++;
    if (call < scripted.failure.after) return false;
    if (scripted.failure.times >= 0 && call >= scripted.failure.after + scripted.failure.times) return false;
    failure = scripted.failure;
    return true;
}

const std::vector<std::string>& FakeHost::scriptable_operations() {
    static const std::vector<std::string> names = {"list_default_routes",
                                                   "find_physical_route",
                                                   "add_pin_route",
                                                   "delete_pin_route",
                                                   "pin_route_absent",
                                                   "delete_interface_routes",
                                                   "interface_routes_absent",
                                                   "list_own_adapters",
                                                   "remove_adapter",
                                                   "add_capture_routes",
                                                   "add_host_route",
                                                   "delete_host_route",
                                                   "verify_capture_routes",
                                                   "interface_holder",
                                                   "ipv6_default_route_present",
                                                   "list_local_ipv4",
                                                   "list_routes",
                                                   "start",
                                                   "assign_job",
                                                   "resume",
                                                   "firewall_open",
                                                   "firewall_close",
                                                   "filters_absent",
                                                   "set_tunnel_dns",
                                                   "reserve_local_port",
                                                   "save_ledger",
                                                   "write_engine_config",
                                                   "shred_engine_config",
                                                   "delete_pin",
                                                   "poll"};
    return names;
}

void FakeHost::fail(const std::string& operation, std::uint32_t error, int times, int after,
                    std::optional<std::string> code) {
    // A misspelt name would script nothing and let the test pass for the wrong reason.
    const auto& known = scriptable_operations();
    if (std::find(known.begin(), known.end(), operation) == known.end())
        throw std::invalid_argument("FakeHost::fail: no operation named \"" + operation + "\"");
    Scripted scripted;
    scripted.failure.error = error;
    scripted.failure.code = std::move(code);
    scripted.failure.after = after;
    scripted.failure.times = times;
    failures_[operation] = scripted;
}

FlowProbeFactory MakeFakeFlowProbeFactory(FakeHost& host) {
    return [&host](unsigned short port, const std::string& secret) -> std::unique_ptr<FlowProbe> {
        host.factory_calls.emplace_back(port, secret);
        return std::make_unique<FakeFlowProbe>(host);
    };
}

FlowConnection MakeFlow(const std::string& id, const std::string& network, const std::string& chain,
                        std::uint64_t upload, std::uint64_t download) {
    FlowConnection connection;
    connection.id = id;
    connection.network = network;
    connection.chain = chain;
    connection.destination = "example.org:443";
    connection.upload = upload;
    connection.download = download;
    return connection;
}

}  // namespace vantorel
