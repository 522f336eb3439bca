#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "controller/proof_tracker.h"
#include "controller/relay_rules.h"
#include "controller_test_support.h"

namespace vantorel {
namespace {

using testing_support::StateEvent;
using testing_support::TunReadyEvent;

struct GenerationCase {
    const char* name;
    std::string payload;
    long long expected;
};

class TunReadyGeneration : public ::testing::TestWithParam<GenerationCase> {};

TEST_P(TunReadyGeneration, ReadsTheSignedNumberAfterTheKey) {
    EXPECT_EQ(ReadTunReadyGeneration(GetParam().payload), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, TunReadyGeneration,
    ::testing::Values(
        GenerationCase{"plain", TunReadyEvent(3), 3},
        GenerationCase{"large", TunReadyEvent(9007199254740993LL), 9007199254740993LL},
        GenerationCase{"space_after_colon", "{\"event\":\"tun_ready\",\"generation\": \t7,\"x\":1}", 7},
        GenerationCase{"line_break_after_colon", "{\"generation\":\r\n12}", 12},
        GenerationCase{"digits_end_at_non_digit", "{\"generation\":42abc}", 42},
        GenerationCase{"fraction_ignored", "{\"generation\":7.9}", 7},
        GenerationCase{"explicit_plus", "{\"generation\":+5}", 5},
        GenerationCase{"negative", "{\"event\":\"tun_ready\",\"generation\":-4}", -4},
        GenerationCase{"missing_key", "{\"event\":\"tun_ready\",\"state\":\"connecting\"}", 0},
        GenerationCase{"key_at_end", "{\"event\":\"tun_ready\",\"generation\":", 0},
        GenerationCase{"no_digit", "{\"event\":\"tun_ready\",\"generation\":null}", 0},
        GenerationCase{"quoted_number", "{\"generation\":\"5\"}", 0},
        GenerationCase{"sign_without_digit", "{\"generation\":-x}", 0},
        GenerationCase{"largest", "{\"generation\":9223372036854775807}", std::numeric_limits<long long>::max()},
        GenerationCase{"one_past_largest", "{\"generation\":9223372036854775808}", 0},
        GenerationCase{"smallest", "{\"generation\":-9223372036854775808}", std::numeric_limits<long long>::min()},
        GenerationCase{"one_below_smallest", "{\"generation\":-9223372036854775809}", 0},
        GenerationCase{"twenty_digits", "{\"generation\":18446744073709551617}", 0},
        GenerationCase{"key_without_colon_then_real", "{\"generation\" :5,\"generation\":6}", 6},
        GenerationCase{"first_occurrence_wins", "{\"generation\":8,\"generation\":9}", 8}),
    [](const ::testing::TestParamInfo<GenerationCase>& info) { return std::string(info.param.name); });

struct KindCase {
    const char* name;
    std::string payload;
    bool state;
    bool idle;
    bool tun_ready;
};

class EventKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(EventKind, IsRecognisedBySubstring) {
    const KindCase& c = GetParam();
    EXPECT_EQ(IsStateEvent(c.payload), c.state);
    EXPECT_EQ(IsIdleStateEvent(c.payload), c.idle);
    EXPECT_EQ(IsTunReadyEvent(c.payload), c.tun_ready);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, EventKind,
    ::testing::Values(
        KindCase{"idle_state", StateEvent(4, "idle"), true, true, false},
        KindCase{"connected_state", StateEvent(4, "connected"), true, false, false},
        KindCase{"tun_ready_says_connecting", TunReadyEvent(4), false, false, true},
        KindCase{"ack", testing_support::AckEvent("disconnect", 4), false, false, false},
        KindCase{"bare_state_marker", "\"event\":\"state\"", true, false, false},
        KindCase{"idle_word_without_state_event", "{\"event\":\"ack\",\"state\":\"idle\"}", false, false, false},
        KindCase{"bare_tun_ready_marker", "\"event\":\"tun_ready\"", false, false, true},
        KindCase{"spaced_keys_are_not_matched", "{\"event\": \"state\",\"state\":\"idle\"}", false, false, false},
        KindCase{"empty", "", false, false, false}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

struct LineCase {
    const char* name;
    std::string line;
    bool forward;
    std::string code;
};

class InputLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(InputLine, IsForwardedOrAnsweredWithTheReaderError) {
    const LineDecision decision = DecideInputLine(GetParam().line);
    EXPECT_EQ(decision.forward, GetParam().forward);
    EXPECT_EQ(decision.client_error_code, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, InputLine,
    ::testing::Values(
        LineCase{"valid_connect", testing_support::kValidConnect, true, ""},
        LineCase{"valid_connect_with_cr", testing_support::kValidConnect + "\r", true, ""},
        LineCase{"hello", "{\"command\":\"hello\",\"protocol_version\":3}", true, ""},
        LineCase{"unknown_command_still_forwarded", "{\"command\":\"reboot\",\"protocol_version\":3}", true, ""},
        LineCase{"connect_without_version", "{\"command\":\"connect\"}", false, "protocol"},
        LineCase{"older_version", "{\"command\":\"hello\",\"protocol_version\":2}", false, "protocol"},
        LineCase{"version_low_bits_are_three", "{\"command\":\"hello\",\"protocol_version\":4294967299}", true, ""},
        LineCase{"engine_config_inside", "{\"command\":\"connect\",\"protocol_version\":3,\"outbounds\":[]}", false,
                 "config"},
        LineCase{"no_command", "{\"protocol_version\":3}", false, "command"},
        LineCase{"not_json", "hello there", false, "command"},
        LineCase{"version_not_a_number", "{\"command\":\"hello\",\"protocol_version\":\"3\"}", false,
                 "protocol_version"},
        LineCase{"negative_generation", "{\"command\":\"disconnect\",\"protocol_version\":3,\"generation\":-1}", false,
                 "generation"},
        LineCase{"message_not_a_string", "{\"command\":\"prove\",\"protocol_version\":3,\"message\":5}", false,
                 "message"},
        LineCase{"direct_list_with_tab",
                 "{\"command\":\"connect\",\"protocol_version\":3,\"direct_domains\":[\"a.b\",\t\"c.d\"]}", false,
                 "direct_domains"},
        LineCase{"force_list_unclosed",
                 "{\"command\":\"connect\",\"protocol_version\":3,\"force_proxy_domains\":[\"a.b\"", false,
                 "force_proxy_domains"},
        LineCase{"udp_direct_true", "{\"command\":\"connect\",\"protocol_version\":3,\"udp_direct\":true}", false,
                 "udp_direct"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

// One session's events in order, and what the tracker asks to prove after each.
TEST(ProofTracker, ProvesEachGenerationOnceUntilIdle) {
    struct Step {
        std::string payload;
        long long prove;  // 0: nothing to prove
        bool proven;      // the prove write succeeded
    };
    const Step steps[] = {
        {StateEvent(3, "connecting"), 0, false},
        {TunReadyEvent(3), 3, true},
        {TunReadyEvent(3), 0, false},
        {StateEvent(3, "connected"), 0, false},
        {TunReadyEvent(3), 0, false},
        {TunReadyEvent(2), 0, false},
        {StateEvent(3, "idle"), 0, false},
        {TunReadyEvent(3), 3, true},
        {TunReadyEvent(4), 4, false},  // the write failed: not remembered
        {TunReadyEvent(4), 4, true},
        {"{\"event\":\"tun_ready\",\"state\":\"connecting\"}", 0, false},
        {"{\"event\":\"tun_ready\",\"generation\":-9}", 0, false},
        {StateEvent(0, "idle"), 0, false},
        {"{\"event\":\"tun_ready\",\"generation\":0}", 0, false},
    };
    ProofTracker tracker;
    int index = 0;
    for (const Step& step : steps) {
        const std::optional<long long> asked = tracker.on_event(step.payload);
        EXPECT_EQ(asked.value_or(0), step.prove) << "step " << index;
        if (asked && step.proven) tracker.mark_proven(*asked);
        ++index;
    }
    EXPECT_EQ(tracker.last_proven(), 0);
}

TEST(ProofTracker, IdleStateResetsEvenWithoutAnyProof) {
    ProofTracker tracker;
    tracker.mark_proven(9);
    EXPECT_FALSE(tracker.on_event(StateEvent(9, "disconnecting")).has_value());
    EXPECT_EQ(tracker.last_proven(), 9);
    EXPECT_FALSE(tracker.on_event(StateEvent(9, "idle")).has_value());
    EXPECT_EQ(tracker.last_proven(), 0);
}

}  // namespace
}  // namespace vantorel

// The commands the published schema refuses are refused by the command reader too, with the code
// the table names (docs/schemas/refused_commands.jsonl; the schema side is tests/protocol/
// test_schemas.py). The table lives outside the Windows prefix, so it is read natively only.
#if defined(VANTOREL_REFUSED_COMMANDS) && !defined(_WIN32)
namespace vantorel {
TEST(SchemaRefusedCommands, AreRefusedByTheCommandReaderWithTheTablesCode) {
    std::ifstream table(VANTOREL_REFUSED_COMMANDS);
    ASSERT_TRUE(table.is_open()) << VANTOREL_REFUSED_COMMANDS;
    int rows = 0;
    for (std::string text; std::getline(table, text);) {
        if (text.empty()) continue;
        const nlohmann::json row = nlohmann::json::parse(text);
        SCOPED_TRACE(row["name"].get<std::string>());
        const LineDecision decision = DecideInputLine(row["line"].get<std::string>());
        EXPECT_FALSE(decision.forward);
        EXPECT_EQ(decision.client_error_code, row["code"].get<std::string>());
        ++rows;
    }
    EXPECT_GE(rows, 10);
}
}  // namespace vantorel
#endif
