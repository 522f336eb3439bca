// The fake host's failure script: a name it does not know must not silently script nothing.

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>

#include "broker/contracts/own_adapter.h"
#include "tests/fakes/fake_host.h"

namespace vantorel {
namespace {

TEST(FakeHostScript, RejectsNamesNoFakeConsults) {
    FakeHost host;
    for (const char* name : {"remove_adaptor", "Remove_adapter", "remove_adapter ", "", "delete_ledger",
                             "add_capture_route", "probe_http_direct"}) {
        EXPECT_THROW(host.fail(name, 5), std::invalid_argument) << '"' << name << '"';
    }
}

TEST(FakeHostScript, EveryScriptableNameIsConsultedByAnOperation) {
    // Each listed name must reach take_failure from some fake; a stale entry would let a test
    // script a failure that never happens.
    FakeHost host;
    std::set<std::string> consulted;
    host.on_operation = [&](const std::string& operation) { consulted.insert(operation); };
    for (const std::string& name : FakeHost::scriptable_operations()) {
        EXPECT_NO_THROW(host.fail(name, 5, 0));  // times 0: accepted, never fires
    }
    std::vector<DefaultRouteInfo> defaults;
    std::vector<AdapterInfo> adapters;
    std::vector<CaptureRoute> captures;
    AdapterInfo adapter;
    PinRoute pin;
    CaptureRoute capture;
    InterfaceHolder holder;
    SessionLedger ledger;
    FlowSample sample;
    bool present = false;
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
    host.routes.list_default_routes(defaults);
    host.routes.find_physical_route("192.0.2.10", pin);
    host.routes.add_pin_route(pin);
    host.routes.delete_pin_route(pin);
    host.routes.pin_route_absent(pin);
    host.routes.delete_interface_routes(1);
    host.routes.interface_routes_absent(1);
    host.routes.list_own_adapters(adapters);
    host.routes.remove_adapter(adapter);
    AdapterInfo tun;
    tun.luid = FakeHost::kTunLuid;
    host.add_interface(kTunAdapterName, FakeHost::kTunLuid, FakeHost::kTunIndex, false);
    host.routes.add_capture_routes(tun, captures);
    host.routes.add_host_route(adapter, "198.18.0.204", capture);
    host.routes.delete_host_route(capture);
    host.routes.verify_capture_routes(adapter, captures);
    host.routes.interface_holder(1, holder);
    host.routes.ipv6_default_route_present(present);
    std::vector<std::string> local;
    host.routes.list_local_ipv4(local);
    std::vector<RouteRow> rows;
    host.routes.list_routes(rows);
    host.engine.start(pid);
    host.engine.assign_job();
    host.engine.resume();
    host.probe.reserve_local_port(port);
    host.files.save_ledger(ledger);
    host.files.write_engine_config("{}");
    host.files.shred_engine_config();
    host.files.delete_pin();
    FakeFlowProbe(host).poll(sample);
    host.firewall.open(FirewallPolicy{});
    host.firewall.close();
    host.firewall.filters_absent();
    host.firewall.set_tunnel_dns("{guid}", "198.18.0.2");
    for (const std::string& name : FakeHost::scriptable_operations()) {
        if (consulted.count(name) == 0) ADD_FAILURE() << name << " was never consulted";
    }
}

}  // namespace
}  // namespace vantorel
