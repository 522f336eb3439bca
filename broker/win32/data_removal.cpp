#include "broker/win32/data_removal.h"

#include <windows.h>

#include <string>

namespace vantorel {
namespace {

// 0 when the path is gone afterwards or was never there.
std::uint32_t RemoveEntry(const std::wstring& path, bool folder) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    const bool is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || is_folder != folder) return ERROR_ACCESS_DENIED;
    const BOOL removed = folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    return removed ? 0 : GetLastError();
}

}  // namespace

std::uint32_t RemoveOwnData(const DataPaths& paths, bool logs) {
    std::uint32_t first = 0;
    auto note = [&first](std::uint32_t error) {
        if (first == 0) first = error;
    };
    for (const std::wstring* file :
         {&paths.engine_config, &paths.ledger, &paths.ledger_tmp, &paths.ledger_bad, &paths.pin}) {
        note(RemoveEntry(*file, false));
    }
    note(RemoveEntry(paths.run, true));
    if (!logs) return first;
    note(RemoveEntry(paths.service_log, false));
    note(RemoveEntry(paths.service_log_previous, false));
    note(RemoveEntry(paths.logs, true));
    // Kept when anything else is inside: it is not only ours then.
    note(RemoveEntry(paths.product, true));
    return first;
}

}  // namespace vantorel
