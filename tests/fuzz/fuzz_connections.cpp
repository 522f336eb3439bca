// The walk over the engine's GET /connections answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "broker/portable/flow_response.h"
#include "fuzz_check.h"

using namespace vantorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    FlowSample sample;
    sample.missing_ids = 12345;
    sample.connections.push_back({"sentinel", "", "", "", "", 0, 0});
    const bool ok = ParseConnectionsResponse(body, sample);
    if (!ok) {
        FUZZ_CHECK(
            sample.missing_ids == 12345 && sample.connections.size() == 1 && sample.connections[0].id == "sentinel",
            "a refused body changed the sample");
        return 0;
    }
    // The member name may come escaped (c\onnections), so only its array is looked for.
    FUZZ_CHECK(body.find('[') != std::string::npos, "accepted without a connections array");
    std::size_t objects = 0;
    for (char ch : body) objects += ch == '{';
    FUZZ_CHECK(sample.connections.size() + sample.missing_ids < objects, "more connections than objects");
    for (const FlowConnection& connection : sample.connections) {
        FUZZ_CHECK(!connection.id.empty(), "a connection without an id");
        FUZZ_CHECK(!connection.chain.empty(), "a connection without a chain");
        FUZZ_CHECK(connection.process.find_first_of("\\/") == std::string::npos, "a process name with a path");
        for (const std::string* text : {&connection.id, &connection.network, &connection.destination}) {
            const std::string clean = sanitize_flow_text(*text);
            FUZZ_CHECK(clean.size() <= 96, "a sanitised text over 96 bytes");
            FUZZ_CHECK(clean.find_first_of("\r\n\t ") == std::string::npos, "a sanitised text with a break");
        }
    }
    FlowSample again;
    FUZZ_CHECK(ParseConnectionsResponse(body, again), "a second walk failed");
    FUZZ_CHECK(again.connections.size() == sample.connections.size() && again.missing_ids == sample.missing_ids,
               "two walks differ");
    return 0;
}
