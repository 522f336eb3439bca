#include "broker/portable/adapter_identity.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vantorel {
namespace {

// Expected GUIDs printed by sing-tun's own generateGUIDByDeviceName (v0.7.13 and v0.8.6, copied
// into a Go program with x/sys/windows' GUID layout and text form).
TEST(AdapterIdentity, GuidIsTheEnginesDerivationFromTheName) {
    EXPECT_EQ(EngineAdapterGuid("VantorelTun"), "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}");
    EXPECT_EQ(EngineAdapterGuid("quorvandel"), "{1210FA55-6E82-8D0C-C7E1-7EC87F4D1A02}");
    EXPECT_EQ(EngineAdapterGuid(""), "{9112A7B2-EB83-6F32-806D-847640580EF2}");
}

TEST(AdapterIdentity, Md5OfLongerInputsSpansBlocks) {
    // RFC 1321 test suite: 80 digits take two blocks.
    const auto d = Md5Digest("12345678901234567890123456789012345678901234567890123456789012345678901234567890");
    const std::uint8_t expected[16] = {0x57, 0xed, 0xf4, 0xa2, 0x2b, 0xe3, 0xc9, 0x55,
                                       0xac, 0x49, 0xda, 0x2e, 0x21, 0x07, 0xb6, 0x7a};
    EXPECT_TRUE(std::equal(d.begin(), d.end(), expected));
}

TEST(AdapterIdentity, OwnOnlyWithNameAndItsGuid) {
    const struct {
        const char* name;
        const char* guid;
        bool own;
    } cases[] = {
        {"VantorelTun", "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}", true},
        {"VantorelTun", "{6f38951c-99c2-40f8-f66d-ceb2db9d19d9}", true},  // case of the text is not identity
        {"quorvandel", "{1210FA55-6E82-8D0C-C7E1-7EC87F4D1A02}", true},
        {"quorvandel", "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}", false},   // the other name's GUID
        {"VantorelTun", "{00000028-0000-0000-0000-4E6574446576}", false},  // a renamed adapter
        {"VantorelTun", "", false},
        {"VantorelTun", "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}x", false},
        {"VantorelTun", "6F38951C-99C2-40F8-F66D-CEB2DB9D19D9", false},
        {"vantoreltun", "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}", false},  // names stay case-sensitive
        {"Ethernet", "{6F38951C-99C2-40F8-F66D-CEB2DB9D19D9}", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsOwnAdapter(c.name, c.guid), c.own) << c.name << " " << c.guid;
}

}  // namespace
}  // namespace vantorel
