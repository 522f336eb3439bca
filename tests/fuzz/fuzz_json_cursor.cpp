// JsonCursor, which walks the engine's API answers, checked against nlohmann::json.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "protocol/json_cursor.h"

using namespace vantorel;

namespace {

int Depth(const nlohmann::json& value) {
    if (!value.is_structured()) return 0;
    int deepest = 0;
    for (const auto& element : value) deepest = std::max(deepest, Depth(element));
    return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    // A leading byte may wrap the text in up to 127 arrays, so deep nesting is always near.
    const int wrap = input.Byte() & 0x7F;
    std::string text = input.Rest();
    if (wrap > 0) text = std::string(wrap, '[') + text + std::string(wrap, ']');

    JsonCursor cursor(text);
    const bool skipped = cursor.SkipValue();
    FUZZ_CHECK(cursor.position() <= text.size(), "the cursor ran past the text");

    // nlohmann::json stops reading at a NUL byte and takes what came before as the document.
    if (text.find('\0') != std::string::npos) return 0;
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return 0;
    const int depth = Depth(parsed);
    if (depth > JsonCursor::kMaxDepth) {
        FUZZ_CHECK(!skipped, "nesting deeper than the limit was walked");
        return 0;
    }
    // The cursor reads no negative numbers (the engine writes none); everything else valid is walked.
    if (text.find('-') != std::string::npos) return 0;
    FUZZ_CHECK(skipped, "a valid document was refused");
    cursor.SkipWhitespace();
    FUZZ_CHECK(cursor.AtEnd(), "a valid document was not walked to its end");

    if (parsed.is_string() && text.find("\\u") == std::string::npos) {
        JsonCursor strings(text);
        std::string read;
        FUZZ_CHECK(strings.ReadString(read), "a valid string was refused");
        FUZZ_CHECK(read == parsed.get<std::string>(), "a string read differently");
    }
    if (parsed.is_number_unsigned()) {
        JsonCursor numbers(text);
        std::uint64_t read = 0;
        FUZZ_CHECK(numbers.ReadUnsigned(read), "a valid number was refused");
        FUZZ_CHECK(read == parsed.get<std::uint64_t>(), "a number read differently");
    }
    return 0;
}
