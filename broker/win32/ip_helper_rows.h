#pragma once
// Reading the system's routing and interface rows, shared by the parts of Win32RouteTable.
// Windows only.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/win32/win_handle.h"

namespace vantorel {

using ForwardTable = ScopedResource<MIB_IPFORWARD_TABLE2*, FreeMibTable>;

inline constexpr std::uint32_t kOperStatusUp = 1;

// The table is owned by `table` whatever the call returns; 1168 stands for "succeeded but
// gave nothing", which the callers report like any other read failure.
inline std::uint32_t ReadForwardTable(ADDRESS_FAMILY family, ForwardTable& table) {
    MIB_IPFORWARD_TABLE2* raw = nullptr;
    DWORD rc = GetIpForwardTable2(family, &raw);
    table.reset(raw);
    if (rc != NO_ERROR) return rc;
    if (!table) return ERROR_NOT_FOUND;
    return 0;
}

// 0, or the error of GetIfEntry2 (2 when no interface has that LUID).
inline std::uint32_t ReadInterface(const NET_LUID& luid, MIB_IF_ROW2& row) {
    std::memset(&row, 0, sizeof(row));
    row.InterfaceLuid = luid;
    return GetIfEntry2(&row);
}

inline std::wstring_view AliasOf(const MIB_IF_ROW2& row) {
    return std::wstring_view(row.Alias, wcsnlen(row.Alias, IF_MAX_STRING_SIZE + 1));
}

// As GetAdaptersAddresses writes an adapter's name: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
inline std::string GuidText(const GUID& g) {
    char text[39];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace vantorel
