#pragma once
// UTF-8 inside the programs, UTF-16 at the Windows API boundary. Windows only.

#include <string>
#include <string_view>

namespace vantorel {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// Full path of this process's executable, and its directory (up to, not including, the last
// '\' or '/'; "." when there is neither).
std::wstring OwnExecutablePath();
std::wstring DirectoryOf(const std::wstring& path);

}  // namespace vantorel
