// ExtractFrame fed in chunks, as pipe reads deliver them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "protocol/frames.h"

using namespace vantorel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    // The first bytes choose the chunk sizes; the rest is the byte stream.
    std::uint8_t sizes[4];
    for (std::uint8_t& s : sizes) s = static_cast<std::uint8_t>(input.Byte() % 64 + 1);
    const std::string stream = input.Rest();

    std::string buffer;
    std::string consumed;  // every byte the extractor took off the buffer's front
    std::size_t fed = 0;
    std::size_t chunk = 0;
    bool failed = false;
    while (fed < stream.size() && !failed) {
        const std::size_t n = std::min<std::size_t>(sizes[chunk++ % 4], stream.size() - fed);
        buffer.append(stream, fed, n);
        fed += n;
        for (;;) {
            const std::string before = buffer;
            std::string payload;
            std::string error;
            const bool got = ExtractFrame(buffer, payload, error);
            if (!got && error.empty()) {
                FUZZ_CHECK(buffer == before, "waiting for more changed the buffer");
                break;
            }
            if (!got) {
                FUZZ_CHECK(error == "frame", "unknown framing error");
                FUZZ_CHECK(buffer.empty(), "an oversized frame left bytes behind");
                FUZZ_CHECK(before.size() >= 4, "refused a length it had not read");
                const std::uint32_t length = static_cast<std::uint8_t>(before[0]) |
                                             static_cast<std::uint8_t>(before[1]) << 8 |
                                             static_cast<std::uint8_t>(before[2]) << 16 |
                                             static_cast<std::uint32_t>(static_cast<std::uint8_t>(before[3])) << 24;
                FUZZ_CHECK(length > kMaxFramePayload, "refused a length within the limit");
                failed = true;
                break;
            }
            FUZZ_CHECK(payload.size() <= kMaxFramePayload, "a payload over the limit");
            const std::string frame = EncodeFrame(payload);
            FUZZ_CHECK(frame.size() == payload.size() + 4, "a frame that cannot be encoded again");
            FUZZ_CHECK(before.compare(0, frame.size(), frame) == 0, "the re-encoded frame differs from the bytes");
            FUZZ_CHECK(buffer == before.substr(frame.size()), "the rest of the buffer changed");
            consumed += frame;
        }
    }
    if (!failed) FUZZ_CHECK(consumed + buffer == stream, "bytes lost or invented");
    return 0;
}
