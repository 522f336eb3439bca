#include "broker/win32/win32_sleeper.h"

#include <windows.h>

namespace vantorel {

void Win32Sleeper::sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

}  // namespace vantorel
