#include "broker/win32/win32_firewall.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fwpmu.h>
// clang-format on

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "broker/win32/dns_interface_settings.h"
#include "broker/win32/wide_text.h"

namespace vantorel {

namespace {

// The SDK's fwpmu.h defines these; mingw's headers lack them. Values from the SDK header.
constexpr GUID kLayerConnectV4 = {0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
constexpr GUID kLayerConnectV6 = {0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}};
constexpr GUID kLayerRecvAcceptV4 = {0xe1cd9fe7, 0xf4b5, 0x4273, {0x96, 0xc0, 0x59, 0x2e, 0x48, 0x7b, 0x86, 0x50}};
constexpr GUID kLayerRecvAcceptV6 = {0xa3b42c97, 0x9f04, 0x4672, {0xb8, 0x7e, 0xce, 0xe9, 0xc4, 0x83, 0x25, 0x7f}};
constexpr GUID kConditionLocalInterface = {
    0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}};
constexpr GUID kConditionRemoteAddress = {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
constexpr GUID kConditionRemotePort = {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
// Also FWPM_CONDITION_ICMP_TYPE: at the ALE layers the ICMP type travels as the local port.
constexpr GUID kConditionLocalPort = {0x0c1ba1af, 0x5765, 0x453f, {0xaf, 0x22, 0xa8, 0xf7, 0x91, 0xac, 0x77, 0x5b}};
constexpr GUID kConditionProtocol = {0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
constexpr GUID kConditionAppId = {0xd78e1e87, 0x8644, 0x4ea5, {0x94, 0x37, 0xd8, 0x09, 0xec, 0xef, 0xc9, 0x71}};
constexpr GUID kConditionFlags = {0x632ce23b, 0x5167, 0x435c, {0x86, 0xd7, 0xe9, 0x03, 0x68, 0x4a, 0xa8, 0x0c}};
constexpr UINT32 kSessionFlagDynamic = 0x00000001;

// Ours, made for this product: every object the broker adds carries them.
constexpr GUID kProviderKey = {0x5e0b7d4a, 0x93c1, 0x4f62, {0x8a, 0x1d, 0x27, 0xc4, 0x6b, 0x90, 0x3e, 0x15}};
constexpr GUID kSubLayerKey = {0x5e0b7d4b, 0x93c1, 0x4f62, {0x8a, 0x1d, 0x27, 0xc4, 0x6b, 0x90, 0x3e, 0x15}};

constexpr UINT8 kIpProtoIcmpV6 = 58;
constexpr UINT8 kIpProtoUdp = 17;

// Weight ranges inside our sub-layer: the highest matching filter decides.
enum : UINT8 {
    kWeightBlockAll = 0,
    kWeightPermitAllowed = 8,  // server, DHCP, neighbour discovery, direct subnets
    kWeightBlockDns = 12,      // DNS anywhere but the tunnel, also to an allowed subnet
    kWeightPermitTunnel = 13,
    kWeightPermitLoopback = 14,
    kWeightPermitEngine = 15,
};

class EngineHandle {
public:
    EngineHandle() = default;
    ~EngineHandle() { reset(); }
    EngineHandle(const EngineHandle&) = delete;
    EngineHandle& operator=(const EngineHandle&) = delete;
    HANDLE* out() { return &handle_; }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset() {
        if (handle_ != nullptr) FwpmEngineClose0(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// Aborts an open transaction unless it was committed.
class Transaction {
public:
    explicit Transaction(HANDLE engine) : engine_(engine) {}
    ~Transaction() {
        if (open_) FwpmTransactionAbort0(engine_);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    DWORD begin() {
        const DWORD status = FwpmTransactionBegin0(engine_, 0);
        open_ = status == ERROR_SUCCESS;
        return status;
    }
    DWORD commit() {
        const DWORD status = FwpmTransactionCommit0(engine_);
        if (status == ERROR_SUCCESS) open_ = false;
        return status;
    }

private:
    HANDLE engine_;
    bool open_ = false;
};

class AppId {
public:
    AppId() = default;
    ~AppId() {
        if (blob_ != nullptr) FwpmFreeMemory0(reinterpret_cast<void**>(&blob_));
    }
    AppId(const AppId&) = delete;
    AppId& operator=(const AppId&) = delete;
    FWP_BYTE_BLOB** out() { return &blob_; }
    FWP_BYTE_BLOB* get() const { return blob_; }

private:
    FWP_BYTE_BLOB* blob_ = nullptr;
};

class FilterEnum {
public:
    FilterEnum(HANDLE engine) : engine_(engine) {}
    ~FilterEnum() {
        if (handle_ != nullptr) FwpmFilterDestroyEnumHandle0(engine_, handle_);
    }
    FilterEnum(const FilterEnum&) = delete;
    FilterEnum& operator=(const FilterEnum&) = delete;
    HANDLE* out() { return &handle_; }
    HANDLE get() const { return handle_; }

private:
    HANDLE engine_;
    HANDLE handle_ = nullptr;
};

DWORD OpenEngine(bool dynamic, EngineHandle& engine) {
    FWPM_SESSION0 session;
    std::memset(&session, 0, sizeof session);
    session.displayData.name = const_cast<wchar_t*>(L"Vantorel");
    if (dynamic) session.flags = kSessionFlagDynamic;
    return FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, engine.out());
}

FWPM_FILTER_CONDITION0 Condition(const GUID& field, FWP_MATCH_TYPE match) {
    FWPM_FILTER_CONDITION0 condition;
    std::memset(&condition, 0, sizeof condition);
    condition.fieldKey = field;
    condition.matchType = match;
    return condition;
}

FWPM_FILTER_CONDITION0 Uint8Condition(const GUID& field, UINT8 value) {
    FWPM_FILTER_CONDITION0 condition = Condition(field, FWP_MATCH_EQUAL);
    condition.conditionValue.type = FWP_UINT8;
    condition.conditionValue.uint8 = value;
    return condition;
}

FWPM_FILTER_CONDITION0 Uint16Condition(const GUID& field, UINT16 value) {
    FWPM_FILTER_CONDITION0 condition = Condition(field, FWP_MATCH_EQUAL);
    condition.conditionValue.type = FWP_UINT16;
    condition.conditionValue.uint16 = value;
    return condition;
}

// A subnet parsed for either family; the policy's texts are ours, so a bad one is a fault.
struct Subnet {
    bool v6 = false;
    FWP_V4_ADDR_AND_MASK v4{};
    FWP_V6_ADDR_AND_MASK v6_mask{};
};

bool ParseSubnet(const std::string& text, Subnet& out) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const std::string address = text.substr(0, slash);
    const int prefix = std::atoi(text.c_str() + slash + 1);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1 && prefix >= 0 && prefix <= 32) {
        out.v6 = false;
        out.v4.addr = ntohl(v4.s_addr);
        out.v4.mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1 && prefix >= 0 && prefix <= 128) {
        out.v6 = true;
        std::memcpy(out.v6_mask.addr, &v6, 16);
        out.v6_mask.prefixLength = static_cast<UINT8>(prefix);
        return true;
    }
    return false;
}

class FilterWriter {
public:
    FilterWriter(HANDLE engine) : engine_(engine) {}

    // Adds the filter at the connect and the receive-accept layer of one family.
    DWORD add(bool v6, const wchar_t* name, FWP_ACTION_TYPE action, UINT8 weight,
              std::vector<FWPM_FILTER_CONDITION0> conditions) {
        for (const GUID* layer : v6 ? kLayersV6 : kLayersV4) {
            FWPM_FILTER0 filter;
            std::memset(&filter, 0, sizeof filter);
            filter.displayData.name = const_cast<wchar_t*>(name);
            filter.providerKey = const_cast<GUID*>(&kProviderKey);
            filter.layerKey = *layer;
            filter.subLayerKey = kSubLayerKey;
            filter.weight.type = FWP_UINT8;
            filter.weight.uint8 = weight;
            filter.numFilterConditions = static_cast<UINT32>(conditions.size());
            filter.filterCondition = conditions.empty() ? nullptr : conditions.data();
            filter.action.type = action;
            UINT64 id = 0;
            const DWORD status = FwpmFilterAdd0(engine_, &filter, nullptr, &id);
            if (status != ERROR_SUCCESS) return status;
        }
        return ERROR_SUCCESS;
    }

    // Both families.
    DWORD add_both(const wchar_t* name, FWP_ACTION_TYPE action, UINT8 weight,
                   const std::vector<FWPM_FILTER_CONDITION0>& conditions) {
        DWORD status = add(false, name, action, weight, conditions);
        if (status == ERROR_SUCCESS) status = add(true, name, action, weight, conditions);
        return status;
    }

private:
    static constexpr const GUID* kLayersV4[] = {&kLayerConnectV4, &kLayerRecvAcceptV4};
    static constexpr const GUID* kLayersV6[] = {&kLayerConnectV6, &kLayerRecvAcceptV6};
    HANDLE engine_;
};

DWORD AddProviderAndSubLayer(HANDLE engine) {
    FWPM_PROVIDER0 provider;
    std::memset(&provider, 0, sizeof provider);
    provider.providerKey = kProviderKey;
    provider.displayData.name = const_cast<wchar_t*>(L"Vantorel");
    DWORD status = FwpmProviderAdd0(engine, &provider, nullptr);
    if (status != ERROR_SUCCESS) return status;

    FWPM_SUBLAYER0 sublayer;
    std::memset(&sublayer, 0, sizeof sublayer);
    sublayer.subLayerKey = kSubLayerKey;
    sublayer.displayData.name = const_cast<wchar_t*>(L"Vantorel tunnel");
    sublayer.providerKey = const_cast<GUID*>(&kProviderKey);
    sublayer.weight = 0xFFFF;
    return FwpmSubLayerAdd0(engine, &sublayer, nullptr);
}

DWORD AddFilters(HANDLE engine, const FirewallPolicy& policy, FWP_BYTE_BLOB* engine_app) {
    FilterWriter writer(engine);
    DWORD status = ERROR_SUCCESS;
    auto step = [&status](DWORD result) {
        if (status == ERROR_SUCCESS) status = result;
    };

    FWPM_FILTER_CONDITION0 app = Condition(kConditionAppId, FWP_MATCH_EQUAL);
    app.conditionValue.type = FWP_BYTE_BLOB_TYPE;
    app.conditionValue.byteBlob = engine_app;
    step(writer.add_both(L"Vantorel: the engine", FWP_ACTION_PERMIT, kWeightPermitEngine, {app}));

    FWPM_FILTER_CONDITION0 loopback = Condition(kConditionFlags, FWP_MATCH_FLAGS_ALL_SET);
    loopback.conditionValue.type = FWP_UINT32;
    loopback.conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
    step(writer.add_both(L"Vantorel: loopback", FWP_ACTION_PERMIT, kWeightPermitLoopback, {loopback}));

    UINT64 tun_luid = policy.tun_luid;
    FWPM_FILTER_CONDITION0 tunnel = Condition(kConditionLocalInterface, FWP_MATCH_EQUAL);
    tunnel.conditionValue.type = FWP_UINT64;
    tunnel.conditionValue.uint64 = &tun_luid;
    step(writer.add_both(L"Vantorel: the tunnel", FWP_ACTION_PERMIT, kWeightPermitTunnel, {tunnel}));

    if (policy.dns_only_through_tunnel) {
        step(writer.add_both(L"Vantorel: DNS outside the tunnel", FWP_ACTION_BLOCK, kWeightBlockDns,
                             {Uint16Condition(kConditionRemotePort, 53)}));
    }

    in_addr server{};
    if (inet_pton(AF_INET, policy.server_ipv4.c_str(), &server) != 1) return ERROR_INVALID_PARAMETER;
    FWPM_FILTER_CONDITION0 to_server = Condition(kConditionRemoteAddress, FWP_MATCH_EQUAL);
    to_server.conditionValue.type = FWP_UINT32;
    to_server.conditionValue.uint32 = ntohl(server.s_addr);
    step(writer.add(false, L"Vantorel: the proxy server", FWP_ACTION_PERMIT, kWeightPermitAllowed, {to_server}));

    step(writer.add(false, L"Vantorel: DHCP", FWP_ACTION_PERMIT, kWeightPermitAllowed,
                    {Uint8Condition(kConditionProtocol, kIpProtoUdp), Uint16Condition(kConditionLocalPort, 68),
                     Uint16Condition(kConditionRemotePort, 67)}));
    step(writer.add(true, L"Vantorel: DHCPv6", FWP_ACTION_PERMIT, kWeightPermitAllowed,
                    {Uint8Condition(kConditionProtocol, kIpProtoUdp), Uint16Condition(kConditionLocalPort, 546),
                     Uint16Condition(kConditionRemotePort, 547)}));

    // Router solicitation and advertisement, neighbour solicitation and advertisement, redirect.
    FWP_RANGE0 ndp_types;
    std::memset(&ndp_types, 0, sizeof ndp_types);
    ndp_types.valueLow.type = FWP_UINT16;
    ndp_types.valueLow.uint16 = 133;
    ndp_types.valueHigh.type = FWP_UINT16;
    ndp_types.valueHigh.uint16 = 137;
    FWPM_FILTER_CONDITION0 ndp = Condition(kConditionLocalPort, FWP_MATCH_RANGE);
    ndp.conditionValue.type = FWP_RANGE_TYPE;
    ndp.conditionValue.rangeValue = &ndp_types;
    step(writer.add(true, L"Vantorel: neighbour discovery", FWP_ACTION_PERMIT, kWeightPermitAllowed,
                    {Uint8Condition(kConditionProtocol, kIpProtoIcmpV6), ndp}));

    std::vector<Subnet> subnets(policy.direct_subnets.size());
    for (std::size_t i = 0; i < subnets.size(); ++i) {
        if (!ParseSubnet(policy.direct_subnets[i], subnets[i])) return ERROR_INVALID_PARAMETER;
        FWPM_FILTER_CONDITION0 subnet = Condition(kConditionRemoteAddress, FWP_MATCH_EQUAL);
        if (subnets[i].v6) {
            subnet.conditionValue.type = FWP_V6_ADDR_MASK;
            subnet.conditionValue.v6AddrMask = &subnets[i].v6_mask;
        } else {
            subnet.conditionValue.type = FWP_V4_ADDR_MASK;
            subnet.conditionValue.v4AddrMask = &subnets[i].v4;
        }
        step(
            writer.add(subnets[i].v6, L"Vantorel: a local network", FWP_ACTION_PERMIT, kWeightPermitAllowed, {subnet}));
    }

    step(writer.add_both(L"Vantorel: everything else", FWP_ACTION_BLOCK, kWeightBlockAll, {}));
    return status;
}

// Ids of the filters our provider owns at one layer.
DWORD ListOurFilters(HANDLE engine, const GUID& layer, std::vector<UINT64>& ids) {
    FWPM_FILTER_ENUM_TEMPLATE0 wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.providerKey = const_cast<GUID*>(&kProviderKey);
    wanted.layerKey = layer;
    wanted.enumType = FWP_FILTER_ENUM_OVERLAPPING;
    wanted.actionMask = 0xFFFFFFFF;
    FilterEnum listing(engine);
    DWORD status = FwpmFilterCreateEnumHandle0(engine, &wanted, listing.out());
    // No provider of ours (never opened, or its session ended): no filter of ours either.
    if (status == static_cast<DWORD>(FWP_E_PROVIDER_NOT_FOUND)) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    for (;;) {
        FWPM_FILTER0** entries = nullptr;
        UINT32 count = 0;
        status = FwpmFilterEnum0(engine, listing.get(), 64, &entries, &count);
        if (status != ERROR_SUCCESS) return status;
        for (UINT32 i = 0; i < count; ++i) ids.push_back(entries[i]->filterId);
        if (entries != nullptr) FwpmFreeMemory0(reinterpret_cast<void**>(&entries));
        if (count < 64) return ERROR_SUCCESS;
    }
}

using SetInterfaceDnsSettingsFn = DWORD(WINAPI*)(GUID, const DnsInterfaceSettings*);
using DnsFlushResolverCacheFn = BOOL(WINAPI*)();

template <typename Function>
Function SystemProcedure(const wchar_t* dll, const char* name) {
    HMODULE module = GetModuleHandleW(dll);
    if (module == nullptr) module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
bool ParseGuid(const std::string& text, GUID& out) {
    unsigned long data1 = 0;
    unsigned int data2 = 0, data3 = 0, b[8] = {};
    char tail = 0;
    if (text.size() != 38 || std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%c", &data1, &data2,
                                         &data3, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &tail) != 11) {
        return false;
    }
    out.Data1 = data1;
    out.Data2 = static_cast<unsigned short>(data2);
    out.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i) out.Data4[i] = static_cast<unsigned char>(b[i]);
    return true;
}

// Where the system keeps an interface's static DNS servers, and reads them from.
DWORD SetNameServerValue(const std::string& adapter_guid, const std::wstring& servers) {
    const std::wstring key =
        L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + Utf8ToWide(adapter_guid);
    HKEY opened = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    status = RegSetValueExW(opened, L"NameServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(servers.c_str()),
                            static_cast<DWORD>((servers.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    return static_cast<DWORD>(status);
}

constexpr const GUID* kAllLayers[] = {&kLayerConnectV4, &kLayerConnectV6, &kLayerRecvAcceptV4, &kLayerRecvAcceptV6};

}  // namespace

Win32Firewall::Win32Firewall(std::wstring engine_path) : engine_path_(std::move(engine_path)) {}

Win32Firewall::~Win32Firewall() {
    if (session_ != nullptr) FwpmEngineClose0(static_cast<HANDLE>(session_));
}

bool Win32Firewall::open(const FirewallPolicy& policy) {
    if (session_ != nullptr) return fail(static_cast<std::uint32_t>(FWP_E_ALREADY_EXISTS));
    if (policy.tun_luid == 0) return fail(ERROR_INVALID_PARAMETER);
    EngineHandle engine;
    DWORD status = OpenEngine(true, engine);
    if (status != ERROR_SUCCESS) return fail(status);

    AppId app;
    status = FwpmGetAppIdFromFileName0(engine_path_.c_str(), app.out());
    if (status != ERROR_SUCCESS) return fail(status);

    Transaction transaction(engine.get());
    status = transaction.begin();
    if (status == ERROR_SUCCESS) status = AddProviderAndSubLayer(engine.get());
    if (status == ERROR_SUCCESS) status = AddFilters(engine.get(), policy, app.get());
    if (status == ERROR_SUCCESS) status = transaction.commit();
    if (status != ERROR_SUCCESS) return fail(status);
    session_ = engine.release();
    last_error_ = 0;
    return true;
}

bool Win32Firewall::close() {
    // Closing a dynamic session deletes every object made in it.
    if (session_ != nullptr) {
        const DWORD status = FwpmEngineClose0(static_cast<HANDLE>(session_));
        session_ = nullptr;
        if (status != ERROR_SUCCESS) return fail(status);
    }
    // Leftovers that outlived their session (none should): removed through a session of our own.
    EngineHandle engine;
    DWORD status = OpenEngine(false, engine);
    if (status != ERROR_SUCCESS) return fail(status);
    for (const GUID* layer : kAllLayers) {
        std::vector<UINT64> ids;
        status = ListOurFilters(engine.get(), *layer, ids);
        if (status != ERROR_SUCCESS) return fail(status);
        for (UINT64 id : ids) {
            status = FwpmFilterDeleteById0(engine.get(), id);
            if (status != ERROR_SUCCESS && status != static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND)) return fail(status);
        }
    }
    status = FwpmSubLayerDeleteByKey0(engine.get(), &kSubLayerKey);
    if (status != ERROR_SUCCESS && status != static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND)) return fail(status);
    status = FwpmProviderDeleteByKey0(engine.get(), &kProviderKey);
    if (status != ERROR_SUCCESS && status != static_cast<DWORD>(FWP_E_PROVIDER_NOT_FOUND)) return fail(status);
    last_error_ = 0;
    return true;
}

bool Win32Firewall::filters_absent() {
    if (session_ != nullptr) return fail(win32_error::object_already_exists);
    EngineHandle engine;
    DWORD status = OpenEngine(false, engine);
    if (status != ERROR_SUCCESS) return fail(status);
    for (const GUID* layer : kAllLayers) {
        std::vector<UINT64> ids;
        status = ListOurFilters(engine.get(), *layer, ids);
        if (status != ERROR_SUCCESS) return fail(status);
        if (!ids.empty()) return fail(win32_error::object_already_exists);
    }
    FWPM_SUBLAYER0* sublayer = nullptr;
    status = FwpmSubLayerGetByKey0(engine.get(), &kSubLayerKey, &sublayer);
    if (status == ERROR_SUCCESS) {
        FwpmFreeMemory0(reinterpret_cast<void**>(&sublayer));
        return fail(win32_error::object_already_exists);
    }
    if (status != static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND)) return fail(status);
    last_error_ = 0;
    return true;
}

bool Win32Firewall::set_tunnel_dns(const std::string& adapter_guid, const std::string& server) {
    GUID interface_guid{};
    if (!ParseGuid(adapter_guid, interface_guid)) return fail(ERROR_INVALID_PARAMETER);
    std::wstring servers = Utf8ToWide(server);
    const auto set_settings = SystemProcedure<SetInterfaceDnsSettingsFn>(L"iphlpapi.dll", "SetInterfaceDnsSettings");
    if (set_settings != nullptr) {
        DnsInterfaceSettings settings;
        std::memset(&settings, 0, sizeof settings);
        settings.Version = kDnsInterfaceSettingsVersion1;
        settings.Flags = kDnsSettingNameServer;
        settings.NameServer = servers.data();
        const DWORD status = set_settings(interface_guid, &settings);
        // Cleared after the adapter is gone: the system may no longer know the interface.
        if (status == ERROR_SUCCESS || (server.empty() && status == ERROR_NOT_FOUND)) {
            last_error_ = 0;
            return true;
        }
        if (!server.empty()) return fail(status);
    }
    const DWORD status = SetNameServerValue(adapter_guid, servers);
    if (status != ERROR_SUCCESS) return fail(status);
    last_error_ = 0;
    return true;
}

// DnsFlushResolverCache is what "ipconfig /flushdns" calls; dnsapi exports it without a header.
void Win32Firewall::flush_resolver_cache() {
    const auto flush = SystemProcedure<DnsFlushResolverCacheFn>(L"dnsapi.dll", "DnsFlushResolverCache");
    if (flush != nullptr) flush();
}

}  // namespace vantorel
