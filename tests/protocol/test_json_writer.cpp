#include <gtest/gtest.h>

#include <string>

#include "protocol/json_writer.h"
#include "tests/protocol/document_check.h"

namespace vantorel {
namespace {

struct EscapeCase {
    std::string input;
    std::string expected;
};

class JsonEscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscapeTable, WritesExactBytes) { EXPECT_EQ(JsonEscape(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(EveryRow, JsonEscapeTable,
                         ::testing::Values(EscapeCase{"\t", "\\t"}, EscapeCase{"\n", "\\n"}, EscapeCase{"\r", "\\r"},
                                           EscapeCase{"\"", "\\\""}, EscapeCase{"\\", "\\\\"},
                                           EscapeCase{std::string(1, '\0'), "\\u0000"}, EscapeCase{"\x01", "\\u0001"},
                                           EscapeCase{"\x08", "\\u0008"}, EscapeCase{"\x0b", "\\u000b"},
                                           EscapeCase{"\x0c", "\\u000c"}, EscapeCase{"\x1b", "\\u001b"},
                                           EscapeCase{"\x1f", "\\u001f"}, EscapeCase{" ", " "}, EscapeCase{"/", "/"},
                                           EscapeCase{"\x7f", "\x7f"}, EscapeCase{"\x80", "\x80"},
                                           EscapeCase{"\xff", "\xff"}, EscapeCase{"\xd0\x96", "\xd0\x96"},
                                           EscapeCase{"a\"b\\c", "a\\\"b\\\\c"}, EscapeCase{"", ""},
                                           EscapeCase{"x\r\ny\tz", "x\\r\\ny\\tz"}));

TEST(JsonEscape, FiveCharactersBecomeSeven) {
    const std::string out = JsonEscape("a\"b\\c");
    EXPECT_EQ(out.size(), 7u);
    EXPECT_EQ(out, std::string({'a', '\\', '"', 'b', '\\', '\\', 'c'}));
}

TEST(JsonEscape, EveryAsciiByteRoundTripsThroughAnIndependentParser) {
    for (int byte = 0; byte < 0x80; ++byte) {
        const std::string input(1, static_cast<char>(byte));
        const auto parsed = test::ParseDocument("\"" + JsonEscape(input) + "\"");
        EXPECT_EQ(parsed.get<std::string>(), input) << "byte " << byte;
    }
}

TEST(JsonEscape, Utf8TextRoundTripsUnchanged) {
    const std::string input = "Подключение \"уже\" идёт\\\x01 €";
    const auto parsed = test::ParseDocument("\"" + JsonEscape(input) + "\"");
    EXPECT_EQ(parsed.get<std::string>(), input);
}

TEST(JsonEscape, HighBytesAreNeverEscaped) {
    for (int byte = 0x20; byte <= 0xFF; ++byte) {
        if (byte == '"' || byte == '\\') continue;
        const std::string input(1, static_cast<char>(byte));
        EXPECT_EQ(JsonEscape(input), input) << "byte " << byte;
    }
}

TEST(JsonQuoteOrNull, EmptyIsNullOtherwiseQuoted) {
    EXPECT_EQ(JsonQuoteOrNull(""), "null");
    EXPECT_EQ(JsonQuoteOrNull("x"), "\"x\"");
    EXPECT_EQ(JsonQuoteOrNull("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(JsonQuoteOrNull(std::string(1, '\0')), "\"\\u0000\"");
    EXPECT_TRUE(test::ParseDocument(JsonQuoteOrNull("")).is_null());
    EXPECT_EQ(test::ParseDocument(JsonQuoteOrNull("null")).get<std::string>(), "null");
}

}  // namespace
}  // namespace vantorel
