#pragma once
// The full Win32 path of a process's image, for the checks that trust a process by where its
// program lives (the pipe's client, stray engines). Windows only.

#include <windows.h>

#include <string>

namespace vantorel {

// The absolute form of a path (GetFullPathNameW); the path itself when the system gives none.
std::wstring FullPathOf(const std::wstring& path);

// Paths as Windows compares file names: ordinal, ignoring case.
bool SamePathIgnoringCase(const std::wstring& a, const std::wstring& b);

// `process` needs PROCESS_QUERY_LIMITED_INFORMATION. Paths up to the system's 32,767-character
// limit; false when the system gives none.
bool ProcessImagePath(HANDLE process, std::wstring& out);

}  // namespace vantorel
