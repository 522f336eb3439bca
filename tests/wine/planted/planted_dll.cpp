// A DLL planted beside a program under a system DLL's name: when loaded it leaves
// "loaded-by-<program>.txt" beside itself and does nothing else.

#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t own[MAX_PATH], program[MAX_PATH];
    if (GetModuleFileNameW(self, own, MAX_PATH) == 0 || GetModuleFileNameW(nullptr, program, MAX_PATH) == 0)
        return TRUE;
    std::wstring marker(own);
    marker.resize(marker.find_last_of(L'\\') + 1);
    std::wstring name(program);
    marker += L"loaded-by-" + name.substr(name.find_last_of(L'\\') + 1) + L".txt";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}
