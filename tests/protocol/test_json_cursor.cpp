#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/json_cursor.h"

namespace vantorel {
namespace {

constexpr std::size_t kAnyPosition = static_cast<std::size_t>(-1);

TEST(JsonCursor, SkipWhitespaceTakesOnlyFourCharacters) {
    const std::string text = " \t\r\n\vx";
    JsonCursor cursor(text);
    cursor.SkipWhitespace();
    EXPECT_EQ(cursor.position(), 4u);
    EXPECT_EQ(cursor.Peek(), '\v');
}

TEST(JsonCursor, MatchCharSkipsWhitespaceAndFailsAtEnd) {
    const std::string text = "  :  ";
    JsonCursor cursor(text);
    EXPECT_FALSE(cursor.MatchChar(','));
    EXPECT_TRUE(cursor.MatchChar(':'));
    EXPECT_EQ(cursor.position(), 3u);
    EXPECT_FALSE(cursor.MatchChar(':'));
    EXPECT_TRUE(cursor.AtEnd());
    EXPECT_EQ(cursor.Peek(), '\0');
}

struct ReadStringCase {
    std::string name;
    std::string text;
    bool ok;
    std::string value;
    std::size_t end;
};

class ReadStringTable : public ::testing::TestWithParam<ReadStringCase> {};

TEST_P(ReadStringTable, Reads) {
    const auto& c = GetParam();
    JsonCursor cursor(c.text);
    std::string out = "stale";
    EXPECT_EQ(cursor.ReadString(out), c.ok);
    if (!c.ok) return;
    EXPECT_EQ(out, c.value);
    EXPECT_EQ(cursor.position(), c.end);
}

const std::vector<ReadStringCase>& StringCases() {
    static const std::vector<ReadStringCase> cases{
        ReadStringCase{"plain", R"("abc",)", true, "abc", 5},
        ReadStringCase{"leading_space", " \n\"x\"", true, "x", 5},
        ReadStringCase{"empty", R"("")", true, "", 2},
        ReadStringCase{"letter_escapes", R"("\b\f\n\r\t")", true, "\b\f\n\r\t", 12},
        ReadStringCase{"self_escapes", R"("\"\\\/\q")", true, "\"\\/q", 10},
        ReadStringCase{"u_ascii", R"("\u0041")", true, "A", 8},
        ReadStringCase{"u_nul", R"("\u0000")", true, std::string(1, '\0'), 8},
        ReadStringCase{"u_two_bytes", R"("\u00e9")", true, "\xc3\xa9", 8},
        ReadStringCase{"u_upper_hex", R"("\u00C9")", true, "\xc3\x89", 8},
        ReadStringCase{"u_last_two_byte", R"("\u07ff")", true, "\xdf\xbf", 8},
        ReadStringCase{"u_first_three_byte", R"("\u0800")", true, "\xe0\xa0\x80", 8},
        ReadStringCase{"u_three_bytes", R"("\u20AC")", true, "\xe2\x82\xac", 8},
        ReadStringCase{"surrogates_one_by_one", R"("\uD83D\uDE00")", true, "\xed\xa0\xbd\xed\xb8\x80", 14},
        ReadStringCase{"non_hex_counts_zero", R"("\u004G")", true, "@", 8},
        ReadStringCase{"u_swallows_quote", R"("\u41"x")", true, "\xe4\x84\x80", 8},
        ReadStringCase{"utf8_passes", "\"Узел\"", true, "Узел", 10},
        ReadStringCase{"u_short_at_end", R"("\u41)", false, "", kAnyPosition},
        ReadStringCase{"no_closing_quote", R"("abc)", false, "", kAnyPosition},
        ReadStringCase{"trailing_backslash", "\"ab\\", false, "", kAnyPosition},
        ReadStringCase{"not_a_string", "abc", false, "", kAnyPosition},
        ReadStringCase{"empty_text", "", false, "", kAnyPosition},
        ReadStringCase{"long_plain_run", "\"" + std::string(300, 'a') + "\"", true, std::string(300, 'a'), 302},
        ReadStringCase{"runs_between_escapes", R"("abcdefghijklmnopqrstuvwxyz\nABCDEFGHIJKLMNOPQRSTUVWXYZ\t0123")",
                       true, "abcdefghijklmnopqrstuvwxyz\nABCDEFGHIJKLMNOPQRSTUVWXYZ\t0123", 62},
        ReadStringCase{"long_run_without_end", "\"" + std::string(100, 'b'), false, "", kAnyPosition}};
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadStringTable, ::testing::ValuesIn(StringCases()),
                         [](const auto& info) { return info.param.name; });

// Skipping ends where reading ends, and fails where reading fails, on every string case.
class SkipStringTable : public ::testing::TestWithParam<ReadStringCase> {};

TEST_P(SkipStringTable, EndsWhereReadStringEnds) {
    const auto& c = GetParam();
    JsonCursor skipper(c.text);
    EXPECT_EQ(skipper.SkipString(), c.ok);
    if (!c.ok) return;
    EXPECT_EQ(skipper.position(), c.end);
}

INSTANTIATE_TEST_SUITE_P(Cases, SkipStringTable, ::testing::ValuesIn(StringCases()),
                         [](const auto& info) { return info.param.name; });

// The byte-at-a-time reader the run copying replaced, kept as the oracle.
bool ReadStringByteByByte(const std::string& text, std::size_t& pos, std::string& out) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
        ++pos;
    if (pos >= text.size() || text[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < text.size()) {
        const char ch = text[pos++];
        if (ch == '"') return true;
        if (ch != '\\') {
            out += ch;
            continue;
        }
        if (pos >= text.size()) return false;
        const char escaped = text[pos++];
        if (escaped != 'u') {
            switch (escaped) {
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                default:
                    out += escaped;
            }
            continue;
        }
        unsigned unit = 0;
        for (int i = 0; i < 4 && pos < text.size(); ++i) {
            const char h = text[pos++];
            const unsigned v = (h >= '0' && h <= '9')   ? static_cast<unsigned>(h - '0')
                               : (h >= 'a' && h <= 'f') ? static_cast<unsigned>(h - 'a' + 10)
                               : (h >= 'A' && h <= 'F') ? static_cast<unsigned>(h - 'A' + 10)
                                                        : 0u;
            unit = unit * 16 + v;
        }
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return false;
}

TEST(JsonCursorStrings, RandomTextsReadAndSkipAsTheByteReaderDid) {
    // Few letters, so quotes, backslashes and short \u tails meet in every arrangement.
    const std::string alphabet = "\"\\u0aF9 xn\xd0";
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    int compared_reads = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = "\"";
        const std::size_t length = next() % 40;
        for (std::size_t i = 0; i < length; ++i) text += alphabet[next() % alphabet.size()];
        std::size_t expected_end = 0;
        std::string expected;
        const bool expected_ok = ReadStringByteByByte(text, expected_end, expected);
        JsonCursor reader(text);
        std::string got;
        ASSERT_EQ(reader.ReadString(got), expected_ok) << text;
        JsonCursor skipper(text);
        ASSERT_EQ(skipper.SkipString(), expected_ok) << text;
        if (!expected_ok) continue;
        ++compared_reads;
        ASSERT_EQ(got, expected) << text;
        ASSERT_EQ(reader.position(), expected_end) << text;
        ASSERT_EQ(skipper.position(), expected_end) << text;
    }
    // Both outcomes must have been exercised for the comparison to mean anything.
    EXPECT_GT(compared_reads, 1000);
    EXPECT_LT(compared_reads, 19000);
}

struct ReadUnsignedCase {
    std::string name;
    std::string text;
    bool ok;
    std::uint64_t value;
    std::size_t end;
};

class ReadUnsignedTable : public ::testing::TestWithParam<ReadUnsignedCase> {};

TEST_P(ReadUnsignedTable, Reads) {
    const auto& c = GetParam();
    JsonCursor cursor(c.text);
    std::uint64_t out = 777;
    EXPECT_EQ(cursor.ReadUnsigned(out), c.ok);
    if (!c.ok) return;
    EXPECT_EQ(out, c.value);
    EXPECT_EQ(cursor.position(), c.end);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadUnsignedTable,
    ::testing::Values(ReadUnsignedCase{"zero", "0", true, 0, 1}, ReadUnsignedCase{"plain", "42,", true, 42, 2},
                      ReadUnsignedCase{"leading_space", " \t42}", true, 42, 4},
                      ReadUnsignedCase{"largest", "18446744073709551615", true, 18446744073709551615ull, 20},
                      ReadUnsignedCase{"one_past_largest", "18446744073709551616", true, 18446744073709551615ull, 20},
                      ReadUnsignedCase{"twenty_nines", "99999999999999999999", true, 18446744073709551615ull, 20},
                      ReadUnsignedCase{"forty_digits", std::string(40, '7'), true, 18446744073709551615ull, 40},
                      ReadUnsignedCase{"fraction_and_exponent", "12.5e3", true, 12, 6},
                      ReadUnsignedCase{"signed_exponent", "7E-3,1", true, 7, 4},
                      ReadUnsignedCase{"stops_at_letter", "1x", true, 1, 1},
                      ReadUnsignedCase{"minus", "-1", false, 0, kAnyPosition},
                      ReadUnsignedCase{"dot_first", ".5", false, 0, kAnyPosition},
                      ReadUnsignedCase{"empty", "", false, 0, kAnyPosition},
                      ReadUnsignedCase{"letter", "true", false, 0, kAnyPosition}),
    [](const auto& info) { return info.param.name; });

struct SkipCase {
    std::string name;
    std::string text;
    bool ok;
    std::size_t end;
};

class SkipValueTable : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkipValueTable, Skips) {
    const auto& c = GetParam();
    JsonCursor cursor(c.text);
    EXPECT_EQ(cursor.SkipValue(), c.ok);
    if (c.ok) {
        EXPECT_EQ(cursor.position(), c.end);
    }
}

const std::string kNested = R"({"a":[1,{"b":null}],"c":"d"})";
const std::string kSpaced = " { \"a\" : [ 1 , 2 ] , \"b\" : { } } ,";

INSTANTIATE_TEST_SUITE_P(
    Cases, SkipValueTable,
    ::testing::Values(SkipCase{"nested", kNested, true, kNested.size()},
                      SkipCase{"spaced", kSpaced, true, kSpaced.size() - 2},
                      SkipCase{"string_then_more", R"("x" rest)", true, 3}, SkipCase{"empty_array", "[]", true, 2},
                      SkipCase{"empty_object", "{}", true, 2}, SkipCase{"spaced_empty", "[ \n]", true, 4},
                      SkipCase{"null", "null,", true, 4}, SkipCase{"short_word_passes", "nul", true, 3},
                      SkipCase{"word_not_compared", "tru e", true, 3}, SkipCase{"false", "false", true, 5},
                      SkipCase{"number", "12.5e3]", true, 6}, SkipCase{"negative_fails", "-1", false, 0},
                      SkipCase{"array_trailing_comma", "[1,]", false, 0},
                      SkipCase{"object_trailing_comma", R"({"a":1,})", false, 0},
                      SkipCase{"missing_comma", "[1 2]", false, 0}, SkipCase{"missing_colon", R"({"a" 1})", false, 0},
                      SkipCase{"number_key", "{1:2}", false, 0}, SkipCase{"unclosed_array", "[1,2", false, 0},
                      SkipCase{"unclosed_object", R"({"a":1)", false, 0}, SkipCase{"wrong_closer", "[1}", false, 0},
                      SkipCase{"empty_text", "", false, 0}, SkipCase{"only_space", " \t ", false, 0},
                      SkipCase{"capital_word", "True", false, 0}),
    [](const auto& info) { return info.param.name; });

std::string NestedArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string NestedObjects(std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "{\"k\":";
    text += "0";
    text += std::string(depth, '}');
    return text;
}

TEST(JsonCursorDepth, AcceptsTheLimitAndRefusesOneMore) {
    const auto limit = static_cast<std::size_t>(JsonCursor::kMaxDepth);
    for (const auto& [text, ok] : std::vector<std::pair<std::string, bool>>{
             {NestedArrays(limit), true},
             {NestedArrays(limit + 1), false},
             {NestedObjects(limit), true},
             {NestedObjects(limit + 1), false},
         }) {
        JsonCursor cursor(text);
        EXPECT_EQ(cursor.SkipValue(), ok) << text.size();
        if (ok) {
            EXPECT_TRUE(cursor.AtEnd());
        }
    }
}

TEST(JsonCursorDepth, HundredThousandLevelsFailWithoutCrashing) {
    const std::string openOnly(100000, '[');
    const std::string balanced = NestedArrays(100000);
    const std::string objects = NestedObjects(100000);
    for (const std::string* text : {&openOnly, &balanced, &objects}) {
        JsonCursor cursor(*text);
        EXPECT_FALSE(cursor.SkipValue());
    }
}

TEST(JsonCursorDepth, DepthIsPerPathNotPerDocument) {
    // Many siblings at the limit must not add up.
    std::string text = "[";
    for (int i = 0; i < 100; ++i) text += (i ? "," : "") + NestedArrays(JsonCursor::kMaxDepth - 1);
    text += "]";
    JsonCursor cursor(text);
    EXPECT_TRUE(cursor.SkipValue());
    EXPECT_TRUE(cursor.AtEnd());
}

// The walk a caller makes over a connection list: pick known members, skip the rest.
TEST(JsonCursorWalk, ReadsSelectedMembersOfAConnectionList) {
    const std::string text =
        R"({"downloadTotal":5,"connections":[)"
        R"({"id":"a\u00e9","metadata":{"host":"x","ports":[1,2]},"upload":10,"download":20.0,"rule":null},)"
        R"({"id":"b","upload":18446744073709551616,"download":3,"chains":["p",{"q":[]}]}],"memory":1})";
    JsonCursor cursor(text);
    std::vector<std::string> ids;
    std::vector<std::uint64_t> uploads;
    std::uint64_t downloads = 0;
    ASSERT_TRUE(cursor.MatchChar('{'));
    bool more = true;
    while (more) {
        std::string key;
        ASSERT_TRUE(cursor.ReadString(key));
        ASSERT_TRUE(cursor.MatchChar(':'));
        if (key != "connections") {
            ASSERT_TRUE(cursor.SkipValue()) << key;
        } else {
            ASSERT_TRUE(cursor.MatchChar('['));
            bool moreItems = true;
            while (moreItems) {
                ASSERT_TRUE(cursor.MatchChar('{'));
                bool moreMembers = true;
                while (moreMembers) {
                    std::string member;
                    ASSERT_TRUE(cursor.ReadString(member));
                    ASSERT_TRUE(cursor.MatchChar(':'));
                    std::uint64_t number = 0;
                    std::string value;
                    if (member == "id") {
                        ASSERT_TRUE(cursor.ReadString(value));
                        ids.push_back(value);
                    } else if (member == "upload") {
                        ASSERT_TRUE(cursor.ReadUnsigned(number));
                        uploads.push_back(number);
                    } else if (member == "download") {
                        ASSERT_TRUE(cursor.ReadUnsigned(number));
                        downloads += number;
                    } else {
                        ASSERT_TRUE(cursor.SkipValue()) << member;
                    }
                    moreMembers = cursor.MatchChar(',');
                }
                ASSERT_TRUE(cursor.MatchChar('}'));
                moreItems = cursor.MatchChar(',');
            }
            ASSERT_TRUE(cursor.MatchChar(']'));
        }
        more = cursor.MatchChar(',');
    }
    ASSERT_TRUE(cursor.MatchChar('}'));
    EXPECT_TRUE(cursor.AtEnd());
    EXPECT_EQ(ids, (std::vector<std::string>{"a\xc3\xa9", "b"}));
    EXPECT_EQ(uploads, (std::vector<std::uint64_t>{10, 18446744073709551615ull}));
    EXPECT_EQ(downloads, 23u);
}

}  // namespace
}  // namespace vantorel
