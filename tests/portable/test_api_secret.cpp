#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "broker/portable/api_secret.h"

namespace vantorel {
namespace {

bool IsLowerHex(const std::string& text) { return text.find_first_not_of("0123456789abcdef") == std::string::npos; }

std::function<bool(std::uint32_t&)> Sequence(std::vector<std::uint32_t> values, std::size_t fail_at = SIZE_MAX) {
    auto calls = std::make_shared<std::size_t>(0);
    return [values = std::move(values), calls, fail_at](std::uint32_t& out) {
        const std::size_t call = (*calls)++;
        if (call >= fail_at) return false;
        out = values[call % values.size()];
        return true;
    };
}

TEST(ApiSecretTest, LowDigitBeforeHighDigitByteByByte) {
    EXPECT_EQ(make_api_secret(Sequence({0x12345678u})),
              "87654321"
              "87654321"
              "87654321"
              "87654321"
              "87654321"
              "87654321");
    EXPECT_EQ(make_api_secret(Sequence({0x0000000Fu, 0xA0000000u, 0, 0, 0, 0xFFFFFFFFu})),
              "f0000000"
              "0000000a"
              "00000000"
              "00000000"
              "00000000"
              "ffffffff");
}

TEST(ApiSecretTest, EveryValueIsUsedOnceInOrder) {
    std::vector<std::uint32_t> values = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(make_api_secret(Sequence(values)),
              "10000000"
              "20000000"
              "30000000"
              "40000000"
              "50000000"
              "60000000");
}

TEST(ApiSecretTest, AnyFailureGivesNoSecret) {
    for (std::size_t fail_at = 0; fail_at < 6; ++fail_at) {
        EXPECT_EQ(make_api_secret(Sequence({0xDEADBEEFu}, fail_at)), "") << fail_at;
    }
    EXPECT_EQ(make_api_secret(std::function<bool(std::uint32_t&)>()), "");
    EXPECT_EQ(make_api_secret(Sequence({0xDEADBEEFu}, 6)).size(), 48u);
}

TEST(ApiSecretTest, SystemSourceGivesFreshHexSecrets) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string secret = make_api_secret();
        ASSERT_EQ(secret.size(), 48u);
        EXPECT_TRUE(IsLowerHex(secret)) << secret;
        seen.insert(secret);
    }
    EXPECT_EQ(seen.size(), 20u);
}

}  // namespace
}  // namespace vantorel
