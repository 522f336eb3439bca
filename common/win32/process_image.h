#pragma once
// The full Win32 path of a process's image, for the checks that trust a process by where its
// program lives (the pipe's client, stray engines). Windows only.

#include <windows.h>

#include <string>

namespace vantorel {

// `process` needs PROCESS_QUERY_LIMITED_INFORMATION. Paths up to the system's 32,767-character
// limit; false when the system gives none.
bool ProcessImagePath(HANDLE process, std::wstring& out);

}  // namespace vantorel
