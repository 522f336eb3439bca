// The key scanner that reads commands: any text, and a written member read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "protocol/json_scan.h"
#include "protocol/json_writer.h"

using namespace vantorel;

namespace {

const char* const kKeys[] = {"command", "uri", "message", "generation", "direct_domains", "a"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const char* key = kKeys[input.Byte() % 6];
    const std::size_t max_count = input.Byte() % 8;
    const std::string text = input.Rest();

    std::string value = "untouched";
    bool present = true;
    const bool found = JsonFindString(text, key, value, present);
    const bool key_in_text = text.find(std::string("\"") + key + "\"") != std::string::npos;
    FUZZ_CHECK(present == key_in_text, "presence differs from the quoted key being in the text");
    if (!present) FUZZ_CHECK(found && value == "untouched", "an absent key changed the value");

    std::uint64_t number = 7;
    FUZZ_CHECK(JsonFindUnsigned(text, key, number, present) || present, "an absent number failed");

    std::vector<std::string> list = {"kept"};
    bool truncated = false;
    std::string error_key;
    if (JsonFindStringList(text, key, IsValidDomainName, max_count + 1, list, truncated, error_key)) {
        FUZZ_CHECK(!list.empty() && list.front() == "kept", "the list was cleared");
        FUZZ_CHECK(list.size() <= max_count + 1, "the list grew over its limit");
        for (std::size_t i = 1; i < list.size(); ++i) FUZZ_CHECK(IsValidDomainName(list[i]), "a refused entry kept");
        FUZZ_CHECK(!truncated || list.size() == max_count + 1, "truncated before full");
    } else {
        FUZZ_CHECK(error_key == key, "a failed list does not name its key");
    }

    // Any text the writer escapes (no control bytes but tab, CR, LF) reads back unchanged.
    std::string clean;
    for (char ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\t' || ch == '\r' || ch == '\n') clean += ch;
    }
    const std::string doc = std::string("{\"") + key + "\":\"" + JsonEscape(clean) + "\",\"z\":1}";
    std::string back;
    FUZZ_CHECK(JsonFindString(doc, key, back, present) && present, "a written member was not found");
    FUZZ_CHECK(back == clean, "a written member read back differently");
    return 0;
}
