#pragma once
// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).

#include <string_view>

namespace vantorel {

bool IsValidUtf8(std::string_view text);

}  // namespace vantorel
