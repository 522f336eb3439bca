// rand_s is declared only when _CRT_RAND_S precedes the first CRT header, the own header included.
#ifdef _WIN32
#ifndef _CRT_RAND_S
#define _CRT_RAND_S
#endif
#include <stdlib.h>
#else
#include <cstdio>
#endif

#include "broker/portable/api_secret.h"

namespace vantorel {
namespace {

constexpr int kSecretValues = 6;  // eight hex digits per 32-bit value, 48 in all

bool SystemRandom(std::uint32_t& value) {
#ifdef _WIN32
    unsigned int drawn = 0;
    if (rand_s(&drawn) != 0) return false;
    value = drawn;
    return true;
#else
    std::FILE* source = std::fopen("/dev/urandom", "rb");
    if (source == nullptr) return false;
    const bool read = std::fread(&value, sizeof(value), 1, source) == 1;
    std::fclose(source);
    return read;
#endif
}

}  // namespace

std::string make_api_secret(const std::function<bool(std::uint32_t&)>& random) {
    static const char kDigits[] = "0123456789abcdef";
    std::string secret;
    secret.reserve(kSecretValues * 8);
    for (int i = 0; i < kSecretValues; ++i) {
        std::uint32_t value = 0;
        if (!random || !random(value)) return std::string();
        for (int byte = 0; byte < 4; ++byte) {
            const unsigned bits = (value >> (8 * byte)) & 0xFFu;
            secret.push_back(kDigits[bits & 0x0Fu]);
            secret.push_back(kDigits[bits >> 4]);
        }
    }
    return secret;
}

std::string make_api_secret() { return make_api_secret(SystemRandom); }

}  // namespace vantorel
