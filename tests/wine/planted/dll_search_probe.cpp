// Loads the named DLL the way a program without the broker's hardening would (application
// folder first), or with "--system32" after SetDefaultDllDirectories(System32) as the broker
// does, and prints the path it was loaded from. Exit 0 when loaded.

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 64;
    if (argc > 2 && std::wcscmp(argv[2], L"--system32") == 0) SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE module = LoadLibraryW(argv[1]);
    if (module == nullptr) return 1;
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(module, path, MAX_PATH);
    std::printf("%ls\n", path);
    return 0;
}
