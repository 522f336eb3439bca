#include "tests/wine/route_shim/builtin.h"

namespace vantorel::route_shim {

FARPROC BuiltinProcedure(const char* name) {
    // Loaded once for the life of the process: every forwarded export already holds it.
    static HMODULE module = LoadLibraryW(kBuiltinDll);
    return module == nullptr ? nullptr : GetProcAddress(module, name);
}

std::uint32_t InterfaceIndexOf(const NET_LUID& luid, std::uint32_t index) {
    if (luid.Value == 0) return index;
    auto convert = Builtin<decltype(&ConvertInterfaceLuidToIndex)>("ConvertInterfaceLuidToIndex");
    NET_IFINDEX found = 0;
    if (convert == nullptr || convert(&luid, &found) != NO_ERROR) return 0;
    return found;
}

bool LuidOfIndex(std::uint32_t index, NET_LUID& luid) {
    auto convert = Builtin<decltype(&ConvertInterfaceIndexToLuid)>("ConvertInterfaceIndexToLuid");
    return convert != nullptr && convert(index, &luid) == NO_ERROR;
}

}  // namespace vantorel::route_shim
