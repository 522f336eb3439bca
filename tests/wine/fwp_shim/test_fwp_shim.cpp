// Win32Firewall against the test fwpuclnt.dll, and that DLL's answers to malformed calls, which
// must be the ones Windows documents: a shim that accepted them would let a broken broker pass.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "broker/win32/win32_firewall.h"

namespace vantorel {
namespace {

constexpr GUID kLayerConnectV4 = {0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
constexpr GUID kFieldRemotePort = {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
constexpr GUID kFieldRemoteAddress = {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
constexpr GUID kTestProvider = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kTestSubLayer = {0x11111112, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

FirewallPolicy Policy() {
    FirewallPolicy policy;
    policy.tun_luid = 1688850531352576ULL;
    policy.server_ipv4 = "192.0.2.10";
    policy.direct_subnets = {"10.0.0.0/8", "fe80::/10"};
    return policy;
}

TEST(Win32FirewallShim, OpenHoldsFiltersUntilClose) {
    Win32Firewall firewall(OwnPath());
    ASSERT_TRUE(firewall.filters_absent()) << firewall.last_error();
    ASSERT_TRUE(firewall.open(Policy())) << std::hex << firewall.last_error();
    EXPECT_FALSE(firewall.filters_absent());
    EXPECT_EQ(firewall.last_error(), 5010u);
    EXPECT_FALSE(firewall.open(Policy()));  // one session's filters at a time
    EXPECT_TRUE(firewall.close()) << std::hex << firewall.last_error();
    EXPECT_TRUE(firewall.filters_absent()) << std::hex << firewall.last_error();
}

TEST(Win32FirewallShim, RefusedPoliciesLeaveNothingBehind) {
    Win32Firewall firewall(OwnPath());
    FirewallPolicy no_interface = Policy();
    no_interface.tun_luid = 0;
    EXPECT_FALSE(firewall.open(no_interface));
    EXPECT_EQ(firewall.last_error(), 87u);
    FirewallPolicy bad_subnet = Policy();
    bad_subnet.direct_subnets.push_back("10.0.0.0/33");
    EXPECT_FALSE(firewall.open(bad_subnet));
    EXPECT_EQ(firewall.last_error(), 87u);
    Win32Firewall missing_engine(L"C:\\no\\such\\sing-box.exe");
    EXPECT_FALSE(missing_engine.open(Policy()));
    // The aborted transaction took the provider and sub-layer with it.
    EXPECT_TRUE(firewall.filters_absent()) << std::hex << firewall.last_error();
}

// An engine with a provider and sub-layer of its own, for the malformed calls.
class Engine {
public:
    explicit Engine(UINT32 flags) {
        FWPM_SESSION0 session;
        std::memset(&session, 0, sizeof session);
        session.flags = flags;
        status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &handle);
    }
    ~Engine() {
        if (handle != nullptr) FwpmEngineClose0(handle);
    }
    DWORD add_provider_and_sublayer() {
        FWPM_PROVIDER0 provider;
        std::memset(&provider, 0, sizeof provider);
        provider.providerKey = kTestProvider;
        provider.displayData.name = const_cast<wchar_t*>(L"test");
        DWORD rc = FwpmProviderAdd0(handle, &provider, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        FWPM_SUBLAYER0 sublayer;
        std::memset(&sublayer, 0, sizeof sublayer);
        sublayer.subLayerKey = kTestSubLayer;
        sublayer.displayData.name = const_cast<wchar_t*>(L"test");
        sublayer.providerKey = const_cast<GUID*>(&kTestProvider);
        return FwpmSubLayerAdd0(handle, &sublayer, nullptr);
    }
    HANDLE handle = nullptr;
    DWORD status = 0;
};

FWPM_FILTER0 GoodFilter(FWPM_FILTER_CONDITION0* condition) {
    FWPM_FILTER0 filter;
    std::memset(&filter, 0, sizeof filter);
    filter.displayData.name = const_cast<wchar_t*>(L"test");
    filter.providerKey = const_cast<GUID*>(&kTestProvider);
    filter.layerKey = kLayerConnectV4;
    filter.subLayerKey = kTestSubLayer;
    filter.weight.type = FWP_UINT8;
    filter.weight.uint8 = 3;
    filter.action.type = FWP_ACTION_BLOCK;
    std::memset(condition, 0, sizeof *condition);
    condition->fieldKey = kFieldRemotePort;
    condition->matchType = FWP_MATCH_EQUAL;
    condition->conditionValue.type = FWP_UINT16;
    condition->conditionValue.uint16 = 53;
    filter.numFilterConditions = 1;
    filter.filterCondition = condition;
    return filter;
}

TEST(FwpShim, MalformedFiltersGetTheDocumentedErrors) {
    Engine engine(0x00000001);  // dynamic: nothing outlives the test
    ASSERT_EQ(engine.status, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(engine.add_provider_and_sublayer(), static_cast<DWORD>(ERROR_SUCCESS));
    FWP_V4_ADDR_AND_MASK holes = {0x0A000000, 0xFF00FF00};
    struct Row {
        const char* name;
        std::function<void(FWPM_FILTER0&, FWPM_FILTER_CONDITION0&)> spoil;
        DWORD error;
    };
    const Row rows[] = {
        {"well formed", [](FWPM_FILTER0&, FWPM_FILTER_CONDITION0&) {}, ERROR_SUCCESS},
        {"weight above 15", [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.weight.uint8 = 16; },
         static_cast<DWORD>(FWP_E_INVALID_WEIGHT)},
        {"weight of another type", [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.weight.type = FWP_UINT32; },
         static_cast<DWORD>(FWP_E_INVALID_WEIGHT)},
        {"unknown layer", [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.layerKey = kTestProvider; },
         static_cast<DWORD>(FWP_E_LAYER_NOT_FOUND)},
        {"unknown sub-layer", [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.subLayerKey = kTestProvider; },
         static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND)},
        {"unknown provider",
         [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.providerKey = const_cast<GUID*>(&kTestSubLayer); },
         static_cast<DWORD>(FWP_E_PROVIDER_NOT_FOUND)},
        {"no display name", [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.displayData.name = nullptr; },
         static_cast<DWORD>(FWP_E_NULL_DISPLAY_NAME)},
        {"callout action",
         [](FWPM_FILTER0& f, FWPM_FILTER_CONDITION0&) { f.action.type = FWP_ACTION_CALLOUT_TERMINATING; },
         static_cast<DWORD>(FWP_E_INVALID_ACTION_TYPE)},
        {"port as 32 bits", [](FWPM_FILTER0&, FWPM_FILTER_CONDITION0& c) { c.conditionValue.type = FWP_UINT32; },
         static_cast<DWORD>(FWP_E_TYPE_MISMATCH)},
        {"unknown field", [](FWPM_FILTER0&, FWPM_FILTER_CONDITION0& c) { c.fieldKey = kTestProvider; },
         static_cast<DWORD>(FWP_E_CONDITION_NOT_FOUND)},
        {"mask with holes",
         [&holes](FWPM_FILTER0&, FWPM_FILTER_CONDITION0& c) {
             c.fieldKey = kFieldRemoteAddress;
             c.conditionValue.type = FWP_V4_ADDR_MASK;
             c.conditionValue.v4AddrMask = &holes;
         },
         static_cast<DWORD>(FWP_E_INVALID_NET_MASK)},
        {"flags match on a port",
         [](FWPM_FILTER0&, FWPM_FILTER_CONDITION0& c) { c.matchType = FWP_MATCH_FLAGS_ALL_SET; },
         static_cast<DWORD>(FWP_E_TYPE_MISMATCH)},
    };
    for (const Row& row : rows) {
        FWPM_FILTER_CONDITION0 condition;
        FWPM_FILTER0 filter = GoodFilter(&condition);
        row.spoil(filter, condition);
        UINT64 id = 0;
        EXPECT_EQ(FwpmFilterAdd0(engine.handle, &filter, nullptr, &id), row.error) << row.name;
    }
    // A sub-layer that still holds a filter cannot go.
    EXPECT_EQ(FwpmSubLayerDeleteByKey0(engine.handle, &kTestSubLayer), static_cast<DWORD>(FWP_E_IN_USE));
}

TEST(FwpShim, SessionsAndTransactionsFollowTheDocumentedRules) {
    HANDLE remote = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(L"elsewhere", RPC_C_AUTHN_WINNT, nullptr, nullptr, &remote),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    {
        Engine dynamic(0x00000001);
        ASSERT_EQ(dynamic.status, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(FwpmTransactionCommit0(dynamic.handle), static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS));
        ASSERT_EQ(FwpmTransactionBegin0(dynamic.handle, 0), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(FwpmTransactionBegin0(dynamic.handle, 0), static_cast<DWORD>(FWP_E_TXN_IN_PROGRESS));
        ASSERT_EQ(dynamic.add_provider_and_sublayer(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(FwpmTransactionAbort0(dynamic.handle), static_cast<DWORD>(ERROR_SUCCESS));
        FWPM_SUBLAYER0* found = nullptr;
        EXPECT_EQ(FwpmSubLayerGetByKey0(dynamic.handle, &kTestSubLayer, &found),
                  static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND));
        ASSERT_EQ(dynamic.add_provider_and_sublayer(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    // The dynamic session took its objects with it.
    Engine later(0);
    FWPM_SUBLAYER0* found = nullptr;
    EXPECT_EQ(FwpmSubLayerGetByKey0(later.handle, &kTestSubLayer, &found),
              static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND));
}

}  // namespace
}  // namespace vantorel
