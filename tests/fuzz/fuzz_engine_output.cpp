// The tests run on engine output: redaction of any bytes, authentication failure, error numbers
// and the TUN failure classification.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "broker/engine/output_analysis.h"
#include "fuzz_check.h"

using namespace vantorel;

namespace {

std::string CaseFlipped(std::string text) {
    for (char& ch : text) {
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        } else if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    TunDiagnosis diagnosis;
    const std::uint8_t flags = input.Byte();
    diagnosis.process_alive = flags & 1;
    diagnosis.adapters_listed = flags & 2;
    diagnosis.exit_status = input.Byte();
    diagnosis.list_error = input.Byte();
    const int adapters = input.Byte() % 4;
    for (int i = 0; i < adapters; ++i) {
        const std::uint8_t bits = input.Byte();
        AdapterInfo adapter;
        adapter.name = bits & 1 ? kTunAdapterName : (bits & 2 ? "VantorelTun2" : "other");
        adapter.up = bits & 4;
        adapter.luid = bits & 8 ? 1 : 0;
        adapter.index = bits & 16 ? 7 : 0;
        diagnosis.adapters.push_back(adapter);
    }
    const std::string text = input.Rest();
    diagnosis.output = RedactSecrets(text);

    const std::string redacted = RedactSecrets(text);
    FUZZ_CHECK(redacted.size() <= 4096, "redaction longer than the tail");
    FUZZ_CHECK(redacted.find_first_of("\r\n") == std::string::npos, "a line break survived");
    const std::string shortened = RedactSecretsShort(text);
    FUZZ_CHECK(shortened.size() <= 256 && shortened.find_first_of("\r\n\x1b") == std::string::npos &&
                   fuzz::ShortFormInTail(redacted, shortened),
               "short form");
    FUZZ_CHECK(RedactSecrets(text) == redacted, "redaction is not a function of its text");

    const bool auth = IsAuthFailure(text);
    FUZZ_CHECK(IsAuthFailure(CaseFlipped(text)) == auth, "authentication test depends on letter case");
    const std::uint32_t number = ExtractErrorNumber(text);
    FUZZ_CHECK(number <= 65535, "an error number out of range");
    FUZZ_CHECK(ExtractErrorNumber(CaseFlipped(text)) == number, "error number depends on letter case");
    // A number is written in the text, or it is the number of a system message the text holds,
    // which has no digits of its own.
    if (number != 0) {
        std::string digitless = text;
        for (char& ch : digitless) {
            if (ch >= '0' && ch <= '9') ch = '#';
        }
        FUZZ_CHECK(text.find(std::to_string(number)) != std::string::npos || ExtractErrorNumber(digitless) == number,
                   "an error number not in the text");
    }

    const TunFailure failure = ClassifyTunFailure(diagnosis);
    static const std::set<std::string> kReasons = {"process_died",         "adapter_name_conflict",
                                                   "adapter_state_not_up", "wintun_create_failed",
                                                   "adapter_not_found",    "adapter_up"};
    FUZZ_CHECK(kReasons.count(failure.reason) == 1, "an unknown reason");
    if (!diagnosis.process_alive) {
        FUZZ_CHECK(failure.reason == "process_died" && failure.number == diagnosis.exit_status, "a dead engine");
        return 0;
    }
    int named = 0;
    int ready = 0;
    for (const AdapterInfo& adapter : diagnosis.adapters) {
        if (adapter.name != kTunAdapterName) continue;
        ++named;
        ready += adapter.up && adapter.luid != 0 && adapter.index != 0;
    }
    if (named > 1) FUZZ_CHECK(failure.reason == "adapter_name_conflict", "two adapters of our name");
    if (failure.reason == "adapter_up") FUZZ_CHECK(ready > 0 && diagnosis.adapters_listed, "up without one ready");
    if (failure.reason == "wintun_create_failed") FUZZ_CHECK(failure.number != 0 && ready == 0, "create failure");
    if (failure.reason != "wintun_create_failed" && failure.reason != "adapter_not_found") {
        FUZZ_CHECK(failure.number == 0, "a number with a reason that carries none");
    }
    return 0;
}
