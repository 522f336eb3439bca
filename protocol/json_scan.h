#pragma once
// Key scanner: reads one named value out of a whole text without parsing its structure.
// The first occurrence of the quoted key anywhere counts, even inside another value.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vantorel {

bool JsonFindString(const std::string& doc, const std::string& key, std::string& out, bool& present);
bool JsonFindUnsigned(const std::string& doc, const std::string& key, std::uint64_t& out, bool& present);
// Appends accepted entries (never clears `list`); on failure writes `key` into errorKey.
bool JsonFindStringList(const std::string& doc, const std::string& key,
                        const std::function<bool(const std::string&)>& predicate, std::size_t maxCount,
                        std::vector<std::string>& list, bool& truncated, std::string& errorKey);
bool IsValidDomainName(const std::string& text);

}  // namespace vantorel
