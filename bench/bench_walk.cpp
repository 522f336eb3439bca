// The /connections walk: the system's cursor against nlohmann::json and simdjson, each
// reducing the same bodies to the same FlowSample.

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/connections_body.h"
#include "broker/portable/flow_response.h"

namespace vantorel::bench {
namespace {

std::string LastSegment(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The same reduction as ParseConnectionsResponse, over a tree.
bool WalkNlohmann(const std::string& body, FlowSample& out) {
    const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    const auto list = doc.find("connections");
    if (list == doc.end() || !list->is_array()) return false;
    FlowSample sample;
    for (const auto& item : *list) {
        const auto& chains = item.at("chains");
        if (chains.empty()) continue;
        const std::string id = item.value("id", "");
        if (id.empty()) {
            ++sample.missing_ids;
            continue;
        }
        const auto& meta = item.at("metadata");
        FlowConnection c;
        c.id = id;
        c.network = meta.value("network", "");
        c.chain = chains.back().get<std::string>();
        const std::string host = meta.value("host", "");
        c.destination = host.empty() ? meta.value("destinationIP", "") : host;
        const std::string port = meta.value("destinationPort", "");
        if (!port.empty()) c.destination += ":" + port;
        c.process = LastSegment(meta.value("processPath", ""));
        c.upload = item.value("upload", std::uint64_t{0});
        c.download = item.value("download", std::uint64_t{0});
        sample.connections.push_back(std::move(c));
    }
    out = std::move(sample);
    return true;
}

// The same reduction with simdjson's on-demand front end (no tree).
bool WalkSimdjson(simdjson::ondemand::parser& parser, const simdjson::padded_string& body, FlowSample& out) {
    simdjson::ondemand::document doc;
    if (parser.iterate(body).get(doc)) return false;
    simdjson::ondemand::array list;
    if (doc["connections"].get_array().get(list)) return false;
    FlowSample sample;
    for (auto element : list) {
        simdjson::ondemand::object item;
        if (element.get_object().get(item)) return false;
        FlowConnection c;
        std::string host, ip, port, process;
        for (auto field : item) {
            std::string_view key;
            if (field.unescaped_key().get(key)) return false;
            if (key == "id") {
                std::string_view v;
                if (field.value().get_string().get(v)) return false;
                c.id.assign(v);
            } else if (key == "metadata") {
                simdjson::ondemand::object meta;
                if (field.value().get_object().get(meta)) return false;
                for (auto m : meta) {
                    std::string_view mk;
                    if (m.unescaped_key().get(mk)) return false;
                    std::string* target = mk == "network"           ? &c.network
                                          : mk == "host"            ? &host
                                          : mk == "destinationIP"   ? &ip
                                          : mk == "destinationPort" ? &port
                                          : mk == "processPath"     ? &process
                                                                    : nullptr;
                    if (target == nullptr) continue;
                    std::string_view v;
                    if (m.value().get_string().get(v)) return false;
                    target->assign(v);
                }
            } else if (key == "chains") {
                simdjson::ondemand::array chains;
                if (field.value().get_array().get(chains)) return false;
                for (auto chain : chains) {
                    std::string_view v;
                    if (chain.get_string().get(v)) return false;
                    c.chain.assign(v);
                }
            } else if (key == "upload") {
                if (field.value().get_uint64().get(c.upload)) return false;
            } else if (key == "download") {
                if (field.value().get_uint64().get(c.download)) return false;
            }
        }
        if (c.chain.empty()) continue;
        if (c.id.empty()) {
            ++sample.missing_ids;
            continue;
        }
        c.destination = host.empty() ? ip : host;
        if (!port.empty()) c.destination += ":" + port;
        c.process = LastSegment(process);
        sample.connections.push_back(std::move(c));
    }
    out = std::move(sample);
    return true;
}

const std::string& Body(std::int64_t bytes) {
    static std::map<std::int64_t, std::string> bodies;
    auto& body = bodies[bytes];
    if (body.empty()) body = ConnectionsBodyOfSize(static_cast<std::size_t>(bytes));
    return body;
}

bool SameSample(const FlowSample& a, const FlowSample& b) {
    if (a.connections.size() != b.connections.size() || a.missing_ids != b.missing_ids) return false;
    for (std::size_t i = 0; i < a.connections.size(); ++i) {
        const FlowConnection& x = a.connections[i];
        const FlowConnection& y = b.connections[i];
        if (x.id != y.id || x.network != y.network || x.chain != y.chain || x.destination != y.destination ||
            x.process != y.process || x.upload != y.upload || x.download != y.download) {
            return false;
        }
    }
    return true;
}

// A walk that gives another answer than the cursor measures nothing worth comparing.
void CheckAgreement(benchmark::State& state, const std::string& body) {
    FlowSample cursor, tree, ondemand;
    simdjson::ondemand::parser parser;
    const simdjson::padded_string padded(body);
    if (!ParseConnectionsResponse(body, cursor) || !WalkNlohmann(body, tree) ||
        !WalkSimdjson(parser, padded, ondemand) || !SameSample(cursor, tree) || !SameSample(cursor, ondemand) ||
        cursor.connections.empty()) {
        state.SkipWithError("the three walks disagree");
    }
}

void BM_WalkCursor(benchmark::State& state) {
    const std::string& body = Body(state.range(0));
    CheckAgreement(state, body);
    for (auto _ : state) {
        FlowSample sample;
        benchmark::DoNotOptimize(ParseConnectionsResponse(body, sample));
        benchmark::DoNotOptimize(sample.connections.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
}

void BM_WalkNlohmann(benchmark::State& state) {
    const std::string& body = Body(state.range(0));
    for (auto _ : state) {
        FlowSample sample;
        benchmark::DoNotOptimize(WalkNlohmann(body, sample));
        benchmark::DoNotOptimize(sample.connections.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
}

void BM_WalkSimdjson(benchmark::State& state) {
    const std::string& body = Body(state.range(0));
    simdjson::ondemand::parser parser;
    const simdjson::padded_string padded(body);
    for (auto _ : state) {
        FlowSample sample;
        benchmark::DoNotOptimize(WalkSimdjson(parser, padded, sample));
        benchmark::DoNotOptimize(sample.connections.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(body.size()));
}

#define VT_WALK_SIZES RangeMultiplier(4)->Range(1 << 10, 4 << 20)
BENCHMARK(BM_WalkCursor)->VT_WALK_SIZES;
BENCHMARK(BM_WalkNlohmann)->VT_WALK_SIZES;
BENCHMARK(BM_WalkSimdjson)->VT_WALK_SIZES;

}  // namespace
}  // namespace vantorel::bench
