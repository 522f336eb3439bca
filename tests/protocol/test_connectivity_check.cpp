// The request every connectivity check sends and the answer that passes it.

#include <gtest/gtest.h>

#include <string>

#include "protocol/connectivity_check.h"

namespace vantorel {
namespace {

TEST(ConnectivityCheckRequest, NamesTheHostAndClosesTheConnection) {
    EXPECT_EQ(ConnectivityCheckRequest(),
              "GET /generate_204 HTTP/1.1\r\nHost: connectivitycheck.gstatic.com\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(ConnectivityCheckRequest("check.test"),
              "GET /generate_204 HTTP/1.1\r\nHost: check.test\r\nConnection: close\r\n\r\n");
}

struct AnswerCase {
    const char* name;
    std::string answer;
    bool passes;
};

class NoContentAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(NoContentAnswer, NeedsTheStatusAfterASpace) {
    EXPECT_EQ(IsNoContentAnswer(GetParam().answer), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, NoContentAnswer,
    ::testing::Values(AnswerCase{"status_line", "HTTP/1.1 204 No Content\r\n", true},
                      AnswerCase{"status_only", "HTTP/1.0 204", true}, AnswerCase{"four_bytes", " 204", true},
                      AnswerCase{"too_short", "204", false}, AnswerCase{"no_space", "HTTP/1.1/204", false},
                      AnswerCase{"other_status", "HTTP/1.1 200 OK\r\n\r\n204", false}, AnswerCase{"empty", "", false},
                      AnswerCase{"after_nul", std::string("HTTP/1.1\0 204", 13), true}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST(AnswerHas, FindsTheMarkerAnywhere) {
    EXPECT_TRUE(AnswerHas("xx204", "204"));
    EXPECT_FALSE(AnswerHas("20 4", "204"));
    EXPECT_FALSE(AnswerHas("", "204"));
}

}  // namespace
}  // namespace vantorel
