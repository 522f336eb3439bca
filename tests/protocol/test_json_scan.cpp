#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/json_scan.h"

namespace vantorel {
namespace {

const std::string kUntouched = "untouched";

struct FindStringCase {
    std::string name;
    std::string doc;
    std::string key;
    bool ok;
    bool present;
    std::string value;  // kUntouched when the output must keep its previous content
};

class FindStringTable : public ::testing::TestWithParam<FindStringCase> {};

TEST_P(FindStringTable, Reads) {
    const auto& c = GetParam();
    std::string out = kUntouched;
    bool present = !c.present;
    EXPECT_EQ(JsonFindString(c.doc, c.key, out, present), c.ok);
    EXPECT_EQ(present, c.present);
    EXPECT_EQ(out, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindStringTable,
    ::testing::Values(FindStringCase{"plain", R"({"command":"hello"})", "command", true, true, "hello"},
                      FindStringCase{"null_after_space", R"({"message": null})", "message", true, true, ""},
                      FindStringCase{"null_at_end", R"({"message":null)", "message", true, true, ""},
                      FindStringCase{"only_four_bytes_compared", R"({"message":nullish})", "message", true, true, ""},
                      FindStringCase{"short_null_fails", R"({"m":nul)", "m", false, true, kUntouched},
                      FindStringCase{"backslash_u_not_decoded", R"({"m":"x\u0041"})", "m", true, true, "xu0041"},
                      FindStringCase{"tab_escape", R"({"m":"x\ty"})", "m", true, true, "x\ty"},
                      FindStringCase{"line_escapes", R"({"m":"a\nb\rc"})", "m", true, true, "a\nb\rc"},
                      FindStringCase{"self_escapes", R"({"m":"\"\/\\\b\f\q"})", "m", true, true, "\"/\\bfq"},
                      FindStringCase{"missing_closing_quote", R"({"m":"abc)", "m", true, true, "abc"},
                      FindStringCase{"trailing_backslash_kept", "{\"m\":\"ab\\", "m", true, true, "ab\\"},
                      FindStringCase{"empty_string", R"({"m":""})", "m", true, true, ""},
                      FindStringCase{"utf8_passes", "{\"m\":\"Узел\"}", "m", true, true, "Узел"},
                      FindStringCase{"classic_whitespace", "{\"m\":\v\f\t\r\n \"x\"}", "m", true, true, "x"},
                      FindStringCase{"junk_before_colon_ignored", R"({"m" junk : "x"})", "m", true, true, "x"},
                      FindStringCase{"number_fails", R"({"m":5})", "m", false, true, kUntouched},
                      FindStringCase{"no_colon", R"({"m" "x"})", "m", false, true, kUntouched},
                      FindStringCase{"colon_last", R"({"m":)", "m", false, true, kUntouched},
                      FindStringCase{"only_space_after_colon", "{\"m\": \t\n", "m", false, true, kUntouched},
                      FindStringCase{"absent", R"({"mess":"x"})", "m", true, false, kUntouched},
                      FindStringCase{"case_sensitive", R"({"Message":"x"})", "message", true, false, kUntouched},
                      FindStringCase{"doc_shorter_than_needle", R"("m)", "m", true, false, kUntouched},
                      FindStringCase{"empty_doc", "", "m", true, false, kUntouched},
                      FindStringCase{"not_json_at_all", R"(garbage "m" : "v)", "m", true, true, "v"},
                      FindStringCase{"first_occurrence_is_a_value", R"({"kind":"command","x":5,"command":"hello"})",
                                     "command", false, true, kUntouched},
                      FindStringCase{"first_occurrence_nested", R"({"args":{"command":"inner"},"command":"outer"})",
                                     "command", true, true, "inner"},
                      FindStringCase{"value_key_reads_next_string", R"({"kind":"command","v":"x"})", "command", true,
                                     true, "x"}),
    [](const auto& info) { return info.param.name; });

struct FindUnsignedCase {
    std::string name;
    std::string doc;
    bool ok;
    bool present;
    std::uint64_t value;
};

constexpr std::uint64_t kSentinel = 777;

class FindUnsignedTable : public ::testing::TestWithParam<FindUnsignedCase> {};

TEST_P(FindUnsignedTable, Reads) {
    const auto& c = GetParam();
    std::uint64_t out = kSentinel;
    bool present = !c.present;
    EXPECT_EQ(JsonFindUnsigned(c.doc, "generation", out, present), c.ok);
    EXPECT_EQ(present, c.present);
    EXPECT_EQ(out, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindUnsignedTable,
    ::testing::Values(
        FindUnsignedCase{"plain", R"({"generation":42})", true, true, 42},
        FindUnsignedCase{"space", R"({"generation": 42})", true, true, 42},
        FindUnsignedCase{"zero", R"({"generation":0})", true, true, 0},
        FindUnsignedCase{"leading_zeros", R"({"generation":0012})", true, true, 12},
        FindUnsignedCase{"fraction_ignored", R"({"generation":7.9})", true, true, 7},
        FindUnsignedCase{"exponent_ignored", R"({"generation":1e3})", true, true, 1},
        FindUnsignedCase{"largest", R"({"generation":18446744073709551615})", true, true, 18446744073709551615ull},
        FindUnsignedCase{"wraps_past_largest", R"({"generation":18446744073709551616})", true, true, 0},
        FindUnsignedCase{"twenty_nines_wrap", R"({"generation":99999999999999999999})", true, true,
                         7766279631452241919ull},
        FindUnsignedCase{"minus", R"({"generation":-1})", false, true, kSentinel},
        FindUnsignedCase{"plus", R"({"generation":+1})", false, true, kSentinel},
        FindUnsignedCase{"quoted", R"({"generation":"42"})", false, true, kSentinel},
        FindUnsignedCase{"true", R"({"generation":true})", false, true, kSentinel},
        FindUnsignedCase{"null", R"({"generation":null})", false, true, kSentinel},
        FindUnsignedCase{"nothing", R"({"generation":)", false, true, kSentinel},
        FindUnsignedCase{"no_colon", R"({"generation" 5})", false, true, kSentinel},
        FindUnsignedCase{"absent", R"({"gen":5})", true, false, kSentinel},
        FindUnsignedCase{"first_in_string", R"({"m":"generation","x":"7","generation":5})", false, true, kSentinel},
        FindUnsignedCase{"value_then_real_key", R"({"m":"generation","generation":5})", true, true, 5}),
    [](const auto& info) { return info.param.name; });

TEST(JsonFindUnsigned, UdpDirectTrueFails) {
    std::uint64_t out = 0;
    bool present = false;
    EXPECT_FALSE(JsonFindUnsigned(R"({"udp_direct":true})", "udp_direct", out, present));
    EXPECT_TRUE(present);
}

bool AcceptAll(const std::string&) { return true; }

struct ListCase {
    std::string name;
    std::string doc;
    std::size_t maxCount;
    bool useDomainPredicate;
    bool ok;
    std::vector<std::string> list;
    bool truncated;
};

class FindListTable : public ::testing::TestWithParam<ListCase> {};

TEST_P(FindListTable, Reads) {
    const auto& c = GetParam();
    std::vector<std::string> list;
    bool truncated = false;
    std::string errorKey = kUntouched;
    const bool ok = c.useDomainPredicate
                        ? JsonFindStringList(c.doc, "d", IsValidDomainName, c.maxCount, list, truncated, errorKey)
                        : JsonFindStringList(c.doc, "d", AcceptAll, c.maxCount, list, truncated, errorKey);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(list, c.list);
    EXPECT_EQ(truncated, c.truncated);
    EXPECT_EQ(errorKey, c.ok ? kUntouched : "d");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindListTable,
    ::testing::Values(
        ListCase{"two",
                 R"({"d":["alpha.example", "beta.example"]})",
                 512,
                 true,
                 true,
                 {"alpha.example", "beta.example"},
                 false},
        ListCase{"line_feeds", "{\"d\":[\n\"a.b\",\n\"c.d\"\n]}", 512, true, true, {"a.b", "c.d"}, false},
        ListCase{
            "tab_fails", "{\"d\":[\"alpha.example\",\t\"beta.example\"]}", 512, true, false, {"alpha.example"}, false},
        ListCase{"carriage_return_fails", "{\"d\":[\"a.b\"\r]}", 512, true, false, {"a.b"}, false},
        ListCase{"invalid_dropped",
                 R"({"d":[".alpha.example","x..y","gamma.example"]})",
                 512,
                 true,
                 true,
                 {"gamma.example"},
                 false},
        ListCase{"truncated", R"({"d":["alpha.example","beta.example"]})", 1, true, true, {"alpha.example"}, true},
        ListCase{"rejected_do_not_count", R"({"d":["x..y","ok.x"]})", 1, true, true, {"ok.x"}, false},
        ListCase{"empty", R"({"d":[]})", 512, true, true, {}, false},
        ListCase{"only_separators", "{\"d\":[ ,\n, ]}", 512, true, true, {}, false},
        ListCase{"no_colon_needed", R"({"d"["a.b"]})", 512, true, true, {"a.b"}, false},
        ListCase{"no_escape_processing", R"({"d":["a\nb"]})", 512, false, true, {"a\\nb"}, false},
        ListCase{"number_fails", R"({"d":["a.b",5]})", 512, true, false, {"a.b"}, false},
        ListCase{"nested_fails", R"({"d":[["a.b"]]})", 512, true, false, {}, false},
        ListCase{"bracket_in_entry_fails", R"({"d":["a]b"]})", 512, false, false, {}, false},
        ListCase{"bracket_after_entry_fails", R"({"d":["a",b]"]})", 512, false, false, {"a"}, false},
        ListCase{"no_open_bracket", R"({"d":5})", 512, true, false, {}, false},
        ListCase{"bracket_before_key_only", R"(["a.b"] {"d":5})", 512, true, false, {}, false},
        ListCase{"no_close_bracket", R"({"d":["a.b")", 512, true, false, {}, false},
        ListCase{"unclosed_entry", R"({"d":["a.b])", 512, true, false, {}, false},
        ListCase{"absent", R"({"e":["a.b"]})", 512, true, true, {}, false},
        ListCase{"later_list_used", R"({"d":1,"x":["a.b"]})", 512, true, true, {"a.b"}, false}),
    [](const auto& info) { return info.param.name; });

TEST(JsonFindStringList, AppendsToExistingEntriesAndCountsThem) {
    std::vector<std::string> list = {"kept.example"};
    bool truncated = false;
    std::string errorKey;
    EXPECT_TRUE(JsonFindStringList(R"({"d":["a.b","c.d"]})", "d", IsValidDomainName, 2, list, truncated, errorKey));
    EXPECT_EQ(list, (std::vector<std::string>{"kept.example", "a.b"}));
    EXPECT_TRUE(truncated);
}

TEST(JsonFindStringList, AbsentKeyLeavesEverythingAlone) {
    std::vector<std::string> list = {"x"};
    bool truncated = true;
    std::string errorKey = "earlier";
    EXPECT_TRUE(JsonFindStringList("{}", "d", IsValidDomainName, 512, list, truncated, errorKey));
    EXPECT_EQ(list, std::vector<std::string>{"x"});
    EXPECT_TRUE(truncated);
    EXPECT_EQ(errorKey, "earlier");
}

TEST(JsonFindStringList, MaxCountBoundsGrowth) {
    std::string doc = R"({"d":[)";
    for (int i = 0; i < 2000; ++i) doc += "\"h" + std::to_string(i) + ".example\",";
    doc += "]}";
    std::vector<std::string> list;
    bool truncated = false;
    std::string errorKey;
    EXPECT_TRUE(JsonFindStringList(doc, "d", IsValidDomainName, 512, list, truncated, errorKey));
    ASSERT_EQ(list.size(), 512u);
    EXPECT_EQ(list.front(), "h0.example");
    EXPECT_EQ(list.back(), "h511.example");
    EXPECT_TRUE(truncated);
}

struct DomainCase {
    std::string text;
    bool valid;
};

class DomainTable : public ::testing::TestWithParam<DomainCase> {};

TEST_P(DomainTable, Judges) { EXPECT_EQ(IsValidDomainName(GetParam().text), GetParam().valid) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(Cases, DomainTable,
                         ::testing::Values(DomainCase{std::string(253, 'a'), true},
                                           DomainCase{std::string(254, 'a'), false}, DomainCase{"a_b-c.d", true},
                                           DomainCase{"a", true}, DomainCase{"-a-", true}, DomainCase{"A9.Z0", true},
                                           DomainCase{std::string(100, 'x') + ".com", true}, DomainCase{"a b", false},
                                           DomainCase{"", false}, DomainCase{".a", false}, DomainCase{"a.", false},
                                           DomainCase{".", false}, DomainCase{"a..b", false}, DomainCase{"a/b", false},
                                           DomainCase{"a:80", false}, DomainCase{"a*b", false},
                                           DomainCase{"\xd0\xb0.ru", false}, DomainCase{std::string("a\0b", 3), false},
                                           DomainCase{"a\"b", false}));

}  // namespace
}  // namespace vantorel
