#pragma once
// Tables this replacement builds itself. FreeMibTable frees those here and hands every other
// pointer to Wine's builtin, so the caller never needs to know who made a table.

#include <cstddef>

namespace vantorel::route_shim {

void* AllocateOwnTable(std::size_t bytes);  // zeroed; null when memory is short
bool FreeOwnTable(void* table);             // false when `table` is not one of ours

}  // namespace vantorel::route_shim
