// The adapter names teardown and recovery treat as their own.

#include <gtest/gtest.h>

#include <string_view>

#include "broker/contracts/own_adapter.h"

namespace vantorel {
namespace {

TEST(OwnAdapterNameTest, WholeAndCaseSensitive) {
    EXPECT_TRUE(IsOwnAdapterName(std::wstring_view(L"VantorelTun")));
    EXPECT_TRUE(IsOwnAdapterName(std::wstring_view(L"quorvandel")));
    EXPECT_TRUE(IsOwnAdapterName(std::string_view("VantorelTun")));
    EXPECT_TRUE(IsOwnAdapterName(std::string_view("quorvandel")));
    for (const wchar_t* name : {L"vantoreltun", L"VantorelTun2", L"VantorelTu", L"Quorvandel", L"", L" quorvandel"}) {
        EXPECT_FALSE(IsOwnAdapterName(std::wstring_view(name)));
    }
    for (const char* name : {"vantoreltun", "VantorelTun 2", "quorvandel\n", ""}) {
        EXPECT_FALSE(IsOwnAdapterName(std::string_view(name))) << name;
    }
}

}  // namespace
}  // namespace vantorel
