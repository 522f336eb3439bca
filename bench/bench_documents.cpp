// The command reader on the documents a user interface sends, and the engine configuration a
// connect builds.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "broker/engine/engine_config.h"
#include "broker/engine/server_profile.h"
#include "protocol/commands.h"

namespace vantorel::bench {
namespace {

std::vector<std::string> Domains(std::size_t count, const char* suffix) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) names.push_back("site" + std::to_string(i) + suffix);
    return names;
}

std::string JsonList(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ",\"" : "\"") + names[i] + "\"";
    return out + "]";
}

std::string ConnectDocument(std::size_t domains) {
    return "{\"command\":\"connect\",\"protocol_version\":3,\"uri\":\"vless://0d7c6a1e-5b7f-4c39-9f0c-3c1f1e2d4b5a@"
           "vpn.example.net:443?security=reality&sni=www.example.com&fp=chrome&pbk=MkkI0siiYaW-"
           "KvH1VEAhGtVvsMBAv88UevmVieg_Swo&sid=1a2b3c&"
           "type=tcp&flow=xtls-rprx-vision#Home\",\"direct_domains\":" +
           JsonList(Domains(domains, ".example.ru")) +
           ",\"force_proxy_domains\":" + JsonList(Domains(domains / 4, ".example.com")) + ",\"udp_direct\":0}";
}

void BM_CommandReaderHello(benchmark::State& state) {
    const std::string text = "{\"command\":\"hello\",\"protocol_version\":3}";
    for (auto _ : state) {
        BrokerCommand cmd;
        std::string error;
        benchmark::DoNotOptimize(ParseBrokerCommand(text, cmd, error));
    }
}
BENCHMARK(BM_CommandReaderHello);

void BM_CommandReaderConnect(benchmark::State& state) {
    const std::string text = ConnectDocument(static_cast<std::size_t>(state.range(0)));
    BrokerCommand check;
    std::string error;
    if (!ParseBrokerCommand(text, check, error) ||
        check.direct_domains.size() != static_cast<std::size_t>(state.range(0))) {
        state.SkipWithError("connect document refused");
    }
    for (auto _ : state) {
        BrokerCommand cmd;
        benchmark::DoNotOptimize(ParseBrokerCommand(text, cmd, error));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_CommandReaderConnect)->Arg(8)->Arg(512);

void BM_EngineConfig(benchmark::State& state) {
    ServerProfile profile;
    std::string field;
    if (!ParseServerProfile(
            "vless://0d7c6a1e-5b7f-4c39-9f0c-3c1f1e2d4b5a@vpn.example.net:443?security=reality&"
            "sni=www.example.com&fp=chrome&pbk=MkkI0siiYaW-KvH1VEAhGtVvsMBAv88UevmVieg_Swo&sid=1a2b3c&type=tcp#Home",
            profile, field)) {
        state.SkipWithError("profile refused");
        return;
    }
    const std::vector<std::string> direct = Domains(static_cast<std::size_t>(state.range(0)), ".example.ru");
    const std::vector<std::string> forced = Domains(static_cast<std::size_t>(state.range(0)) / 4, ".example.com");
    if (BuildEngineConfig(profile, "198.51.100.20", direct, forced, false, 39201, "secret").empty()) {
        state.SkipWithError("no configuration");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildEngineConfig(profile, "198.51.100.20", direct, forced, false, 39201, "secret"));
    }
}
BENCHMARK(BM_EngineConfig)->Arg(8)->Arg(512);

}  // namespace
}  // namespace vantorel::bench
