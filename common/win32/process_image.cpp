#include "common/win32/process_image.h"

#include <vector>

namespace vantorel {

bool ProcessImagePath(HANDLE process, std::wstring& out) {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) return false;
    out.assign(buffer.data(), size);
    return true;
}

}  // namespace vantorel
