#pragma once
// Which network adapters are this product's own: the TUN the engine creates, and the name an
// earlier release gave it. Teardown and recovery remove only these.

#include <string_view>

namespace vantorel {

inline constexpr const char kTunAdapterName[] = "VantorelTun";
inline constexpr const char kLegacyAdapterName[] = "quorvandel";

// Compared whole, code unit by code unit, case-sensitive.
inline bool IsOwnAdapterName(std::string_view utf8_name) {
    return utf8_name == kTunAdapterName || utf8_name == kLegacyAdapterName;
}
inline bool IsOwnAdapterName(std::wstring_view name) { return name == L"VantorelTun" || name == L"quorvandel"; }

}  // namespace vantorel
