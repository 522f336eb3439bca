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
inline constexpr const wchar_t kTunAdapterNameW[] = L"VantorelTun";
inline constexpr const wchar_t kLegacyAdapterNameW[] = L"quorvandel";
inline bool IsOwnAdapterName(std::wstring_view name) { return name == kTunAdapterNameW || name == kLegacyAdapterNameW; }

// The wide names are the narrow ones, character for character.
constexpr bool SameAsciiName(const char* narrow, const wchar_t* wide) {
    for (; *narrow != '\0' || *wide != L'\0'; ++narrow, ++wide) {
        if (static_cast<wchar_t>(*narrow) != *wide) return false;
    }
    return true;
}
static_assert(SameAsciiName(kTunAdapterName, kTunAdapterNameW) &&
                  SameAsciiName(kLegacyAdapterName, kLegacyAdapterNameW),
              "an adapter name differs between its narrow and wide spelling");

}  // namespace vantorel
