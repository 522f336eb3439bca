#pragma once
// Wine's own iphlpapi.dll, copied into the prefix's system32 under another name: the functions
// this replacement does not implement are forwarded to it by the export table, and the ones it
// does implement call it for what Wine already does right.

#include "tests/wine/route_shim/iphlp_headers.h"

#include <cstdint>

namespace vantorel::route_shim {

inline constexpr const wchar_t kBuiltinDll[] = L"wineiphlp.dll";

FARPROC BuiltinProcedure(const char* name);

// Builtin<decltype(&GetIfEntry2)>("GetIfEntry2"): null when the copy or the name is missing.
template <typename Function>
Function Builtin(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(BuiltinProcedure(name)));
}

// Wine's own conversions, which know every link Wine has seen.
// The interface a row names: by LUID when it has one (as Windows), else by index; 0 when the
// LUID names no interface.
std::uint32_t InterfaceIndexOf(const NET_LUID& luid, std::uint32_t index);
bool LuidOfIndex(std::uint32_t index, NET_LUID& luid);

}  // namespace vantorel::route_shim
