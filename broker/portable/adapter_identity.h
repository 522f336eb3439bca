#pragma once
// Which adapter is really the engine's. A name alone proves nothing: a member of Network
// Configuration Operators can rename any adapter. The engine (sing-tun) asks Wintun for a GUID
// derived from the adapter's name, so an own name must come with that GUID.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantorel {

std::array<std::uint8_t, 16> Md5Digest(std::string_view data);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as Windows writes an adapter's GUID:
// sing-tun's generateGUIDByDeviceName, md5("wintun" + name) read as a GUID structure (the first
// three fields little-endian).
std::string EngineAdapterGuid(std::string_view name);

// An own adapter name carrying the GUID the engine gives that name (letter case ignored).
bool IsOwnAdapter(std::string_view name, std::string_view guid);

}  // namespace vantorel
