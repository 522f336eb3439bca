// A test fwpuclnt.dll for Wine, whose own one is stubs (calling most of it ends the process).
// It checks each call the broker makes as the Windows Filtering Platform documents it and
// returns the errors Windows returns for malformed input; the filters live in this process and
// vanish with it or with their dynamic session. What it emulates: docs/testing.md.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/wine/fwp_shim/fwp_rules.h"

namespace {

using vantorel::fwp_shim::FilterRecord;
using vantorel::fwp_shim::Layer;

constexpr GUID kLayerKeys[] = {
    {0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}},  // ALE_AUTH_CONNECT_V4
    {0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}},  // ALE_AUTH_CONNECT_V6
    {0xe1cd9fe7, 0xf4b5, 0x4273, {0x96, 0xc0, 0x59, 0x2e, 0x48, 0x7b, 0x86, 0x50}},  // ALE_AUTH_RECV_ACCEPT_V4
    {0xa3b42c97, 0x9f04, 0x4672, {0xb8, 0x7e, 0xce, 0xe9, 0xc4, 0x83, 0x25, 0x7f}},  // ALE_AUTH_RECV_ACCEPT_V6
};
constexpr GUID kFieldLocalInterface = {0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}};
constexpr GUID kFieldRemoteAddress = {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
constexpr GUID kFieldRemotePort = {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
constexpr GUID kFieldLocalPort = {0x0c1ba1af, 0x5765, 0x453f, {0xaf, 0x22, 0xa8, 0xf7, 0x91, 0xac, 0x77, 0x5b}};
constexpr GUID kFieldProtocol = {0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
constexpr GUID kFieldAppId = {0xd78e1e87, 0x8644, 0x4ea5, {0x94, 0x37, 0xd8, 0x09, 0xec, 0xef, 0xc9, 0x71}};
constexpr GUID kFieldFlags = {0x632ce23b, 0x5167, 0x435c, {0x86, 0xd7, 0xe9, 0x03, 0x68, 0x4a, 0xa8, 0x0c}};
constexpr UINT32 kSessionFlagDynamic = 0x00000001;
constexpr UINT32 kRpcAuthnDefault = 0xFFFFFFFF;
constexpr UINT32 kTxnReadOnly = 0x00000001;

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool Zero(const GUID& a) { return Same(a, GUID{}); }
struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

struct Owned {
    GUID provider{};  // zero: none
    HANDLE session = nullptr;
};

struct SubLayer {
    Owned owner;
    UINT16 weight = 0;
};

struct Filter {
    Owned owner;
    GUID sublayer{};
    FilterRecord record;
};

struct State {
    std::map<GUID, Owned, GuidLess> providers;
    std::map<GUID, SubLayer, GuidLess> sublayers;
    std::map<UINT64, Filter> filters;
};

struct Session {
    bool dynamic = false;
    bool in_transaction = false;
    State before;  // the state at the transaction's start
};

struct EnumCursor {
    std::vector<UINT64> ids;
    std::size_t next = 0;
};

std::mutex g_lock;
State g_state;
std::map<HANDLE, Session> g_sessions;
std::map<HANDLE, EnumCursor> g_enums;
UINT64 g_next_id = 1000;
UINT_PTR g_next_handle = 0x5100;

HANDLE NewHandle() { return reinterpret_cast<HANDLE>(g_next_handle += 8); }

int LayerIndex(const GUID& key) {
    for (int i = 0; i < 4; ++i) {
        if (Same(kLayerKeys[i], key)) return i;
    }
    return -1;
}

void* Allocate(std::size_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

// One condition checked against the layer's fields and the value types each field takes.
DWORD CheckCondition(const FWPM_FILTER_CONDITION0& condition, bool v6, vantorel::fwp_shim::Condition& out) {
    using vantorel::fwp_shim::Field;
    const FWP_CONDITION_VALUE0& value = condition.conditionValue;
    const FWP_MATCH_TYPE match = condition.matchType;
    const bool flags_match =
        match == FWP_MATCH_FLAGS_ALL_SET || match == FWP_MATCH_FLAGS_ANY_SET || match == FWP_MATCH_FLAGS_NONE_SET;
    if (match >= FWP_MATCH_TYPE_MAX) return ERROR_INVALID_PARAMETER;
    if (Same(condition.fieldKey, kFieldFlags)) {
        if (value.type != FWP_UINT32) return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
        if (!flags_match) return static_cast<DWORD>(FWP_E_INVALID_FLAGS);
        out.field = Field::flags;
        out.number = value.uint32;
        // Valid on Windows but not emulated: refused rather than applied wrongly.
        return match == FWP_MATCH_FLAGS_ALL_SET ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
    }
    if (flags_match) return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
    if (match != FWP_MATCH_EQUAL && match != FWP_MATCH_RANGE) return ERROR_NOT_SUPPORTED;
    if ((match == FWP_MATCH_RANGE) != (value.type == FWP_RANGE_TYPE)) return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);

    if (Same(condition.fieldKey, kFieldLocalInterface)) {
        if (value.type != FWP_UINT64 || value.uint64 == nullptr) return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
        out.field = Field::local_interface;
        out.number = *value.uint64;
        return ERROR_SUCCESS;
    }
    if (Same(condition.fieldKey, kFieldAppId)) {
        if (value.type != FWP_BYTE_BLOB_TYPE || value.byteBlob == nullptr || value.byteBlob->data == nullptr)
            return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
        out.field = Field::app_id;
        out.text.assign(reinterpret_cast<const wchar_t*>(value.byteBlob->data), value.byteBlob->size / 2);
        while (!out.text.empty() && out.text.back() == L'\0') out.text.pop_back();
        return ERROR_SUCCESS;
    }
    if (Same(condition.fieldKey, kFieldProtocol)) {
        if (value.type != FWP_UINT8) return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
        out.field = Field::protocol;
        out.number = value.uint8;
        return ERROR_SUCCESS;
    }
    const bool remote_port = Same(condition.fieldKey, kFieldRemotePort);
    if (remote_port || Same(condition.fieldKey, kFieldLocalPort)) {
        out.field = remote_port ? Field::remote_port : Field::local_port;
        if (value.type == FWP_UINT16) {
            out.number = out.number_high = value.uint16;
            return ERROR_SUCCESS;
        }
        if (value.type != FWP_RANGE_TYPE || value.rangeValue == nullptr) return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
        const FWP_RANGE0& range = *value.rangeValue;
        if (range.valueLow.type != FWP_UINT16 || range.valueHigh.type != FWP_UINT16)
            return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
        if (range.valueLow.uint16 > range.valueHigh.uint16) return static_cast<DWORD>(FWP_E_INVALID_RANGE);
        out.number = range.valueLow.uint16;
        out.number_high = range.valueHigh.uint16;
        return ERROR_SUCCESS;
    }
    if (Same(condition.fieldKey, kFieldRemoteAddress)) {
        out.field = Field::remote_address;
        if (!v6 && value.type == FWP_UINT32) {
            out.v4 = value.uint32;
            out.prefix = 32;
            return ERROR_SUCCESS;
        }
        if (!v6 && value.type == FWP_V4_ADDR_MASK && value.v4AddrMask != nullptr) {
            const UINT32 mask = value.v4AddrMask->mask;
            // Contiguous from the top, as a prefix.
            if ((~mask & (~mask + 1)) != 0) return static_cast<DWORD>(FWP_E_INVALID_NET_MASK);
            out.v4 = value.v4AddrMask->addr;
            out.prefix = 0;
            for (UINT32 bits = mask; bits != 0; bits <<= 1) ++out.prefix;
            return ERROR_SUCCESS;
        }
        if (v6 && value.type == FWP_BYTE_ARRAY16_TYPE && value.byteArray16 != nullptr) {
            std::memcpy(out.v6, value.byteArray16->byteArray16, 16);
            out.prefix = 128;
            return ERROR_SUCCESS;
        }
        if (v6 && value.type == FWP_V6_ADDR_MASK && value.v6AddrMask != nullptr) {
            if (value.v6AddrMask->prefixLength > 128) return static_cast<DWORD>(FWP_E_INVALID_NET_MASK);
            std::memcpy(out.v6, value.v6AddrMask->addr, 16);
            out.prefix = value.v6AddrMask->prefixLength;
            return ERROR_SUCCESS;
        }
        return static_cast<DWORD>(FWP_E_TYPE_MISMATCH);
    }
    return static_cast<DWORD>(FWP_E_CONDITION_NOT_FOUND);
}

DWORD CheckWeight(const FWP_VALUE0& weight, FilterRecord& record) {
    if (weight.type == FWP_EMPTY) {
        record.weight = 0;
        return ERROR_SUCCESS;
    }
    if (weight.type == FWP_UINT8) {
        if (weight.uint8 > 15) return static_cast<DWORD>(FWP_E_INVALID_WEIGHT);
        record.weight = weight.uint8;
        return ERROR_SUCCESS;
    }
    return static_cast<DWORD>(FWP_E_INVALID_WEIGHT);
}

// Objects made in a dynamic session go with it.
void DropSession(HANDLE session) {
    for (auto it = g_state.filters.begin(); it != g_state.filters.end();) {
        it = it->second.owner.session == session ? g_state.filters.erase(it) : std::next(it);
    }
    for (auto it = g_state.sublayers.begin(); it != g_state.sublayers.end();) {
        it = it->second.owner.session == session ? g_state.sublayers.erase(it) : std::next(it);
    }
    for (auto it = g_state.providers.begin(); it != g_state.providers.end();) {
        it = it->second.session == session ? g_state.providers.erase(it) : std::next(it);
    }
}

Session* Find(HANDLE engine) {
    const auto it = g_sessions.find(engine);
    return it == g_sessions.end() ? nullptr : &it->second;
}

void Publish() {
    std::vector<FilterRecord> records;
    for (const auto& entry : g_state.filters) records.push_back(entry.second.record);
    vantorel::fwp_shim::ApplyFilters(records);
}

}  // namespace

extern "C" {

DWORD WINAPI FwpmEngineOpen0(const wchar_t* server_name, UINT32 authn_service, SEC_WINNT_AUTH_IDENTITY_W* identity,
                             const FWPM_SESSION0* session, HANDLE* engine) {
    if (engine == nullptr) return ERROR_INVALID_PARAMETER;
    // A remote engine is not supported; local calls must use Windows NT or the default service.
    if (server_name != nullptr || identity != nullptr) return ERROR_INVALID_PARAMETER;
    if (authn_service != RPC_C_AUTHN_WINNT && authn_service != kRpcAuthnDefault) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(g_lock);
    Session opened;
    if (session != nullptr) {
        if ((session->flags & ~kSessionFlagDynamic) != 0) return static_cast<DWORD>(FWP_E_INVALID_FLAGS);
        opened.dynamic = (session->flags & kSessionFlagDynamic) != 0;
    }
    *engine = NewHandle();
    g_sessions[*engine] = opened;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmEngineClose0(HANDLE engine) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (session->in_transaction) g_state = session->before;
    const bool dynamic = session->dynamic;
    g_sessions.erase(engine);
    if (dynamic) DropSession(engine);
    Publish();
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmTransactionBegin0(HANDLE engine, UINT32 flags) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if ((flags & ~kTxnReadOnly) != 0) return static_cast<DWORD>(FWP_E_INVALID_FLAGS);
    if (session->in_transaction) return static_cast<DWORD>(FWP_E_TXN_IN_PROGRESS);
    session->in_transaction = true;
    session->before = g_state;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmTransactionCommit0(HANDLE engine) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (!session->in_transaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
    session->in_transaction = false;
    session->before = State{};
    Publish();
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmTransactionAbort0(HANDLE engine) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (!session->in_transaction) return static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS);
    g_state = session->before;
    session->in_transaction = false;
    session->before = State{};
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmProviderAdd0(HANDLE engine, const FWPM_PROVIDER0* provider, PSECURITY_DESCRIPTOR) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (provider == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    if (provider->displayData.name == nullptr) return static_cast<DWORD>(FWP_E_NULL_DISPLAY_NAME);
    if (Zero(provider->providerKey)) return ERROR_INVALID_PARAMETER;
    if (g_state.providers.count(provider->providerKey) != 0) return static_cast<DWORD>(FWP_E_ALREADY_EXISTS);
    Owned owned;
    owned.session = session->dynamic ? engine : nullptr;
    g_state.providers[provider->providerKey] = owned;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE engine, const GUID* key) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Find(engine) == nullptr) return ERROR_INVALID_HANDLE;
    if (key == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    if (g_state.providers.count(*key) == 0) return static_cast<DWORD>(FWP_E_PROVIDER_NOT_FOUND);
    for (const auto& entry : g_state.sublayers) {
        if (Same(entry.second.owner.provider, *key)) return static_cast<DWORD>(FWP_E_IN_USE);
    }
    for (const auto& entry : g_state.filters) {
        if (Same(entry.second.owner.provider, *key)) return static_cast<DWORD>(FWP_E_IN_USE);
    }
    g_state.providers.erase(*key);
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmSubLayerAdd0(HANDLE engine, const FWPM_SUBLAYER0* sublayer, PSECURITY_DESCRIPTOR) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (sublayer == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    if (sublayer->displayData.name == nullptr) return static_cast<DWORD>(FWP_E_NULL_DISPLAY_NAME);
    if (Zero(sublayer->subLayerKey)) return ERROR_INVALID_PARAMETER;
    if (g_state.sublayers.count(sublayer->subLayerKey) != 0) return static_cast<DWORD>(FWP_E_ALREADY_EXISTS);
    SubLayer added;
    if (sublayer->providerKey != nullptr) {
        if (g_state.providers.count(*sublayer->providerKey) == 0) return static_cast<DWORD>(FWP_E_PROVIDER_NOT_FOUND);
        added.owner.provider = *sublayer->providerKey;
    }
    added.owner.session = session->dynamic ? engine : nullptr;
    added.weight = sublayer->weight;
    g_state.sublayers[sublayer->subLayerKey] = added;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engine, const GUID* key) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Find(engine) == nullptr) return ERROR_INVALID_HANDLE;
    if (key == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    if (g_state.sublayers.count(*key) == 0) return static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND);
    for (const auto& entry : g_state.filters) {
        if (Same(entry.second.sublayer, *key)) return static_cast<DWORD>(FWP_E_IN_USE);
    }
    g_state.sublayers.erase(*key);
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmSubLayerGetByKey0(HANDLE engine, const GUID* key, FWPM_SUBLAYER0** sublayer) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Find(engine) == nullptr) return ERROR_INVALID_HANDLE;
    if (key == nullptr || sublayer == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    const auto it = g_state.sublayers.find(*key);
    if (it == g_state.sublayers.end()) return static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND);
    auto* copy = static_cast<FWPM_SUBLAYER0*>(Allocate(sizeof(FWPM_SUBLAYER0)));
    if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    copy->subLayerKey = *key;
    copy->displayData.name = const_cast<wchar_t*>(L"");
    copy->weight = it->second.weight;
    *sublayer = copy;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterAdd0(HANDLE engine, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR, UINT64* id) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (filter == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    if (filter->displayData.name == nullptr) return static_cast<DWORD>(FWP_E_NULL_DISPLAY_NAME);
    const int layer = LayerIndex(filter->layerKey);
    // Only the four ALE authorization layers are emulated; any other is refused loudly.
    if (layer < 0) return static_cast<DWORD>(FWP_E_LAYER_NOT_FOUND);
    if (g_state.sublayers.count(filter->subLayerKey) == 0) return static_cast<DWORD>(FWP_E_SUBLAYER_NOT_FOUND);
    Filter added;
    if (filter->providerKey != nullptr) {
        if (g_state.providers.count(*filter->providerKey) == 0) return static_cast<DWORD>(FWP_E_PROVIDER_NOT_FOUND);
        added.owner.provider = *filter->providerKey;
    }
    if (filter->action.type != FWP_ACTION_PERMIT && filter->action.type != FWP_ACTION_BLOCK)
        return static_cast<DWORD>(FWP_E_INVALID_ACTION_TYPE);
    if (filter->numFilterConditions != 0 && filter->filterCondition == nullptr)
        return static_cast<DWORD>(FWP_E_NULL_POINTER);
    added.record.layer = static_cast<Layer>(layer);
    added.record.permit = filter->action.type == FWP_ACTION_PERMIT;
    DWORD status = CheckWeight(filter->weight, added.record);
    if (status != ERROR_SUCCESS) return status;
    const bool v6 = added.record.layer == Layer::connect_v6 || added.record.layer == Layer::recv_accept_v6;
    for (UINT32 i = 0; i < filter->numFilterConditions; ++i) {
        vantorel::fwp_shim::Condition condition;
        status = CheckCondition(filter->filterCondition[i], v6, condition);
        if (status != ERROR_SUCCESS) return status;
        added.record.conditions.push_back(condition);
    }
    added.owner.session = session->dynamic ? engine : nullptr;
    added.sublayer = filter->subLayerKey;
    added.record.id = ++g_next_id;
    g_state.filters[added.record.id] = added;
    if (id != nullptr) *id = added.record.id;
    if (!session->in_transaction) Publish();
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterDeleteById0(HANDLE engine, UINT64 id) {
    std::lock_guard<std::mutex> guard(g_lock);
    Session* session = Find(engine);
    if (session == nullptr) return ERROR_INVALID_HANDLE;
    if (g_state.filters.erase(id) == 0) return static_cast<DWORD>(FWP_E_FILTER_NOT_FOUND);
    if (!session->in_transaction) Publish();
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterCreateEnumHandle0(HANDLE engine, const FWPM_FILTER_ENUM_TEMPLATE0* wanted, HANDLE* handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Find(engine) == nullptr) return ERROR_INVALID_HANDLE;
    if (handle == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    EnumCursor cursor;
    if (wanted != nullptr && LayerIndex(wanted->layerKey) < 0) return static_cast<DWORD>(FWP_E_LAYER_NOT_FOUND);
    if (wanted != nullptr && wanted->enumType != FWP_FILTER_ENUM_OVERLAPPING &&
        wanted->enumType != FWP_FILTER_ENUM_FULLY_CONTAINED)
        return static_cast<DWORD>(FWP_E_INVALID_ENUMERATOR);
    for (const auto& entry : g_state.filters) {
        if (wanted != nullptr) {
            if (static_cast<int>(entry.second.record.layer) != LayerIndex(wanted->layerKey)) continue;
            if (wanted->providerKey != nullptr && !Same(entry.second.owner.provider, *wanted->providerKey)) continue;
        }
        cursor.ids.push_back(entry.first);
    }
    *handle = NewHandle();
    g_enums[*handle] = cursor;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterEnum0(HANDLE engine, HANDLE handle, UINT32 wanted, FWPM_FILTER0*** entries, UINT32* returned) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Find(engine) == nullptr) return ERROR_INVALID_HANDLE;
    const auto it = g_enums.find(handle);
    if (it == g_enums.end()) return ERROR_INVALID_HANDLE;
    if (entries == nullptr || returned == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    EnumCursor& cursor = it->second;
    const std::size_t count = std::min<std::size_t>(wanted, cursor.ids.size() - cursor.next);
    *returned = static_cast<UINT32>(count);
    *entries = nullptr;
    if (count == 0) return ERROR_SUCCESS;
    // One block, freed whole by FwpmFreeMemory0: the pointers, then the filters they point at.
    auto* block = static_cast<unsigned char*>(Allocate(count * (sizeof(FWPM_FILTER0*) + sizeof(FWPM_FILTER0))));
    if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    auto** pointers = reinterpret_cast<FWPM_FILTER0**>(block);
    auto* filters = reinterpret_cast<FWPM_FILTER0*>(block + count * sizeof(FWPM_FILTER0*));
    for (std::size_t i = 0; i < count; ++i) {
        const auto found = g_state.filters.find(cursor.ids[cursor.next + i]);
        pointers[i] = &filters[i];
        filters[i].filterId = cursor.ids[cursor.next + i];
        filters[i].displayData.name = const_cast<wchar_t*>(L"");
        if (found != g_state.filters.end()) {
            filters[i].layerKey = kLayerKeys[static_cast<int>(found->second.record.layer)];
            filters[i].subLayerKey = found->second.sublayer;
        }
    }
    cursor.next += count;
    *entries = pointers;
    return ERROR_SUCCESS;
}

DWORD WINAPI FwpmFilterDestroyEnumHandle0(HANDLE engine, HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (Find(engine) == nullptr) return ERROR_INVALID_HANDLE;
    return g_enums.erase(handle) == 0 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

DWORD WINAPI FwpmGetAppIdFromFileName0(const wchar_t* file_name, FWP_BYTE_BLOB** app_id) {
    if (file_name == nullptr || app_id == nullptr) return static_cast<DWORD>(FWP_E_NULL_POINTER);
    if (GetFileAttributesW(file_name) == INVALID_FILE_ATTRIBUTES) return GetLastError();
    // Windows gives the device path in lower case; the path in lower case stands for it here.
    std::wstring path(file_name);
    for (wchar_t& ch : path) ch = static_cast<wchar_t>(std::towlower(ch));
    const std::size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    auto* block = static_cast<unsigned char*>(Allocate(sizeof(FWP_BYTE_BLOB) + bytes));
    if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    auto* blob = reinterpret_cast<FWP_BYTE_BLOB*>(block);
    blob->size = static_cast<UINT32>(bytes);
    blob->data = block + sizeof(FWP_BYTE_BLOB);
    std::memcpy(blob->data, path.c_str(), bytes);
    *app_id = blob;
    return ERROR_SUCCESS;
}

void WINAPI FwpmFreeMemory0(void** p) {
    if (p == nullptr || *p == nullptr) return;
    HeapFree(GetProcessHeap(), 0, *p);
    *p = nullptr;
}

}  // extern "C"
