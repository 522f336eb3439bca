#include "tests/wine/route_shim/own_tables.h"

#include "tests/wine/route_shim/iphlp_headers.h"

#include <mutex>
#include <set>

#include "tests/wine/route_shim/builtin.h"

namespace vantorel::route_shim {
namespace {

std::mutex& TablesLock() {
    static std::mutex lock;
    return lock;
}

std::set<void*>& Tables() {
    static std::set<void*> tables;
    return tables;
}

}  // namespace

void* AllocateOwnTable(std::size_t bytes) {
    void* table = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (table == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(TablesLock());
    Tables().insert(table);
    return table;
}

bool FreeOwnTable(void* table) {
    {
        std::lock_guard<std::mutex> guard(TablesLock());
        if (Tables().erase(table) == 0) return false;
    }
    HeapFree(GetProcessHeap(), 0, table);
    return true;
}

}  // namespace vantorel::route_shim

extern "C" VOID WINAPI FreeMibTable(PVOID memory) {
    using vantorel::route_shim::Builtin;
    if (memory == nullptr || vantorel::route_shim::FreeOwnTable(memory)) return;
    if (auto builtin = Builtin<decltype(&FreeMibTable)>("FreeMibTable")) builtin(memory);
}
