#include "protocol/json_scan.h"

#include "protocol/ascii_text.h"

namespace vantorel {

namespace {

// Position just past the first occurrence of the quoted key, or npos when the key is absent.
std::size_t FindKeyEnd(const std::string& doc, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    if (doc.size() < needle.size()) return std::string::npos;
    const std::size_t at = doc.find(needle);
    if (at == std::string::npos) return std::string::npos;
    return at + needle.size();
}

// Position of the first non-space byte after the first ':' that follows `from`, or npos.
std::size_t FindValueStart(const std::string& doc, std::size_t from) {
    std::size_t pos = doc.find(':', from);
    if (pos == std::string::npos) return std::string::npos;
    ++pos;
    while (pos < doc.size() && IsClassicSpace(doc[pos])) ++pos;
    if (pos >= doc.size()) return std::string::npos;
    return pos;
}

char UnescapeScanned(char ch) {
    switch (ch) {
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return ch;  // quote, '/', backslash and every other letter stand for themselves
    }
}

// Reads from just after an opening quote; a missing closing quote ends the value at the text's end.
std::string ReadScannedString(const std::string& doc, std::size_t pos) {
    std::string value;
    while (pos < doc.size()) {
        const char ch = doc[pos];
        if (ch == '"') break;
        if (ch == '\\' && pos + 1 < doc.size()) {
            value += UnescapeScanned(doc[pos + 1]);
            pos += 2;
            continue;
        }
        value += ch;
        ++pos;
    }
    return value;
}

bool IsDomainByte(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || IsDigit(ch) || ch == '-' || ch == '.' || ch == '_';
}

}  // namespace

bool JsonFindString(const std::string& doc, const std::string& key, std::string& out, bool& present) {
    const std::size_t keyEnd = FindKeyEnd(doc, key);
    if (keyEnd == std::string::npos) {
        present = false;
        return true;
    }
    present = true;
    const std::size_t pos = FindValueStart(doc, keyEnd);
    if (pos == std::string::npos) return false;
    if (doc.size() - pos >= 4 && doc.compare(pos, 4, "null") == 0) {
        out.clear();
        return true;
    }
    if (doc[pos] != '"') return false;
    out = ReadScannedString(doc, pos + 1);
    return true;
}

bool JsonFindUnsigned(const std::string& doc, const std::string& key, std::uint64_t& out, bool& present) {
    const std::size_t keyEnd = FindKeyEnd(doc, key);
    if (keyEnd == std::string::npos) {
        present = false;
        return true;
    }
    present = true;
    std::size_t pos = FindValueStart(doc, keyEnd);
    if (pos == std::string::npos || !IsDigit(doc[pos])) return false;
    // Wraps modulo 2^64 on purpose: peers agree on this reading, not on a range check.
    std::uint64_t value = 0;
    while (pos < doc.size() && IsDigit(doc[pos])) {
        value = value * 10 + static_cast<std::uint64_t>(doc[pos] - '0');
        ++pos;
    }
    out = value;
    return true;
}

bool JsonFindStringList(const std::string& doc, const std::string& key,
                        const std::function<bool(const std::string&)>& predicate, std::size_t maxCount,
                        std::vector<std::string>& list, bool& truncated, std::string& errorKey) {
    const std::size_t keyEnd = FindKeyEnd(doc, key);
    if (keyEnd == std::string::npos) return true;
    const std::size_t open = doc.find('[', keyEnd);
    const std::size_t close = open == std::string::npos ? std::string::npos : doc.find(']', open);
    if (close == std::string::npos) {
        errorKey = key;
        return false;
    }
    std::size_t pos = open + 1;
    while (pos < close) {
        const char ch = doc[pos];
        if (ch == ' ' || ch == ',' || ch == '\n') {
            ++pos;
            continue;
        }
        if (ch != '"') {
            errorKey = key;
            return false;
        }
        const std::size_t endQuote = doc.find('"', pos + 1);
        if (endQuote == std::string::npos || endQuote > close) {
            errorKey = key;
            return false;
        }
        std::string entry = doc.substr(pos + 1, endQuote - pos - 1);
        pos = endQuote + 1;
        if (!predicate(entry)) continue;
        if (list.size() < maxCount) {
            list.push_back(std::move(entry));
        } else {
            truncated = true;
        }
    }
    return true;
}

bool IsValidDomainName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    for (char ch : text) {
        if (!IsDomainByte(ch)) return false;
    }
    if (text.front() == '.' || text.back() == '.') return false;
    return text.find("..") == std::string::npos;
}

}  // namespace vantorel
