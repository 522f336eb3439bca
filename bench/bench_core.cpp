// The tunnel core over the fakes: one flow monitor tick at 10,000 connections (the walk of the
// body included, and the walk alone beside it) and a whole connect and disconnect.

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bench/connections_body.h"
#include "broker/core/tunnel_controller.h"
#include "broker/portable/flow_response.h"
#include "tests/fakes/fake_host.h"

namespace vantorel::bench {
namespace {

constexpr std::size_t kConnections = 10000;
constexpr std::uint64_t kRounds = 8;

// Bodies of successive polls, counters growing from one to the next.
const std::vector<std::string>& PollBodies() {
    static const std::vector<std::string> bodies = [] {
        std::vector<std::string> made;
        for (std::uint64_t round = 0; round < kRounds; ++round) made.push_back(ConnectionsBody(kConnections, round));
        return made;
    }();
    return bodies;
}

// The real walk of an engine's answer, as the WinHTTP probe does after its request.
class BodyProbe final : public FlowProbe {
public:
    bool poll(FlowSample& out) override {
        const auto& bodies = PollBodies();
        return ParseConnectionsResponse(bodies[next_++ % bodies.size()], out);
    }
    std::uint32_t last_error() const override { return 0; }

private:
    std::size_t next_ = 0;
};

struct ConnectedCore {
    FakeHost host;
    std::unique_ptr<TunnelController> controller = host.make_controller();
    std::atomic<bool> cancel{false};
    ConnectJob job;

    bool Connect() {
        job.uri = "hysteria2://s3cret@vpn.example.net:443?sni=vpn.example.net";
        job.direct_domains = {"example.ru"};
        if (!controller->begin_connect().accepted) return false;
        return controller->run_connect(job, cancel).state == SessionState::connected;
    }
};

void BM_FlowWalk10k(benchmark::State& state) {
    const auto& bodies = PollBodies();
    std::size_t next = 0;
    for (auto _ : state) {
        FlowSample sample;
        benchmark::DoNotOptimize(ParseConnectionsResponse(bodies[next++ % bodies.size()], sample));
    }
    state.counters["connections"] = static_cast<double>(kConnections);
}
BENCHMARK(BM_FlowWalk10k)->Unit(benchmark::kMillisecond);

// Every tick polls (6 s of fake clock apart): walk plus the monitor's own work.
void BM_FlowTick10k(benchmark::State& state) {
    ConnectedCore core;
    core.controller->set_flow_probe_factory(
        [](unsigned short, const std::string&) { return std::unique_ptr<FlowProbe>(new BodyProbe()); });
    if (!core.Connect()) {
        state.SkipWithError("no connected session over the fakes");
        return;
    }
    for (auto _ : state) {
        core.host.clock += 6000;
        benchmark::DoNotOptimize(core.controller->watch_network(core.cancel));
        if (core.host.log.lines.size() > 4096) core.host.log.lines.clear();
    }
    if (core.controller->flow_connections_tracked() != kConnections) state.SkipWithError("connections not tracked");
    state.counters["connections"] = static_cast<double>(kConnections);
}
BENCHMARK(BM_FlowTick10k)->Unit(benchmark::kMillisecond);

void BM_ConnectDisconnectCycle(benchmark::State& state) {
    ConnectedCore core;
    for (auto _ : state) {
        if (!core.Connect()) {
            state.SkipWithError("connect over the fakes failed");
            break;
        }
        benchmark::DoNotOptimize(core.controller->stop());
        core.host.log.lines.clear();
    }
}
BENCHMARK(BM_ConnectDisconnectCycle)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vantorel::bench
