// Test-only bcryptprimitives.dll for Wine 8, which has none: Go programs built with Go 1.22 or
// newer (sing-box.exe among them) import ProcessPrng from it at start-up and abort without it.
// Installed into a test prefix's system32 only while the engine suites run; never packaged.

#include <windows.h>
#include <bcrypt.h>

extern "C" BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
    while (size > 0) {
        const ULONG chunk = size > 0x40000000 ? 0x40000000UL : static_cast<ULONG>(size);
        if (BCryptGenRandom(nullptr, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return FALSE;
        data += chunk;
        size -= chunk;
    }
    return TRUE;
}
