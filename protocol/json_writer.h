#pragma once
// Documents are written by appending fixed fragments and escaped values; no tree.

#include <string>

namespace vantorel {

std::string JsonEscape(const std::string& text);
// `null` for the empty text, otherwise the quoted, escaped text.
std::string JsonQuoteOrNull(const std::string& text);

}  // namespace vantorel
