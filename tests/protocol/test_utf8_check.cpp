#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/utf8_check.h"

namespace vantorel {
namespace {

TEST(Utf8CheckTest, WellFormedAndMalformedSequences) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"", true},
        {"plain ascii", true},
        {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", true},  // Cyrillic
        {"\xE2\x82\xAC", true},                                      // U+20AC
        {"\xEF\xBF\xBF", true},                                      // U+FFFF
        {"\xF0\x9F\x94\x91", true},                                  // U+1F511
        {"\xF4\x8F\xBF\xBF", true},                                  // U+10FFFF
        {std::string("a\0b", 3), true},
        {"\xFF", false},
        {"\x80", false},              // a lone continuation byte
        {"\xC0\xAF", false},          // overlong '/'
        {"\xC1\xBF", false},          // overlong
        {"\xE0\x9F\xBF", false},      // overlong three-byte form
        {"\xED\xA0\x80", false},      // surrogate U+D800
        {"\xF0\x8F\xBF\xBF", false},  // overlong four-byte form
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xE2\x82", false},   // cut short at the end
        {"\xE2\x82x", false},  // cut short by an ASCII byte
        {"ok\xC3", false},
        {"\xC3\xA9\xC3", false},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(IsValidUtf8(text), expected) << testing::PrintToString(text);
}

}  // namespace
}  // namespace vantorel
