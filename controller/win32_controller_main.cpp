// VantorelCtl.exe: the console client of the broker service.

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "controller/win32_controller_modes.h"

int wmain(int argc, wchar_t** argv) {
    // Whatever is loaded later comes from System32, never from beside the program.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Text mode would turn the line feed after each document into CR LF; the user interface
    // expects the bytes as they are. Standard input is read from its handle, past the runtime.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::wstring> args(argv, argv + argc);
    return vantorel::RunController(args);
}
