#include "broker/engine/output_analysis.h"

#include <array>
#include <cstddef>

namespace vantorel {
namespace {

constexpr std::array<const char*, 16> kSecretKeys = {
    "obfs-password", "obfs_password", "password", "passwd",        "auth", "hysteriaAuth",
    "token",         "api_key",       "apikey",   "secret",        "authorization",
    "user",          "username",      "login",    "uuid",          "short_id"};

constexpr std::size_t kRedactedTail = 4096;
constexpr std::size_t kShortLength = 256;
const std::string kMask = "***";

bool IsClassicSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool IsNameChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
           ch == '-' || ch == '.';
}

bool EndsUnquotedValue(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '&' || ch == '"' || ch == '\'';
}

std::string LowerAscii(std::string text) {
    for (char& ch : text) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return text;
}

std::size_t SkipSpace(const std::string& text, std::size_t pos) {
    while (pos < text.size() && IsClassicSpace(text[pos])) ++pos;
    return pos;
}

// End of a quoted run that starts after `open`: the matching unescaped quote, or the end of the text.
std::size_t QuotedEnd(const std::string& text, std::size_t start, char quote) {
    std::size_t pos = start;
    while (pos < text.size() && text[pos] != quote) {
        pos += text[pos] == '\\' ? 2 : 1;
    }
    return pos < text.size() ? pos : text.size();
}

void MaskJsonMembers(std::string& text, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    std::size_t search = 0;
    while ((search = text.find(needle, search)) != std::string::npos) {
        std::size_t pos = SkipSpace(text, search + needle.size());
        if (pos >= text.size() || text[pos] != ':') {
            search += needle.size();
            continue;
        }
        pos = SkipSpace(text, pos + 1);
        if (pos >= text.size() || text[pos] != '"') {
            search = pos;
            continue;
        }
        const std::size_t start = pos + 1;
        const std::size_t end = QuotedEnd(text, start, '"');
        text.replace(start, end - start, kMask);
        search = start + kMask.size();
    }
}

void MaskAssignments(std::string& text, const std::string& key) {
    const std::string needle = key + "=";
    std::size_t search = 0;
    while ((search = text.find(needle, search)) != std::string::npos) {
        const std::size_t start = search + needle.size();
        if (search > 0 && IsNameChar(text[search - 1])) {
            search = start;
            continue;
        }
        if (start < text.size() && (text[start] == '"' || text[start] == '\'')) {
            // A quoted value would otherwise end the mask at its opening quote and keep the secret.
            const std::size_t inner = start + 1;
            const std::size_t end = QuotedEnd(text, inner, text[start]);
            if (end == inner) {
                search = inner;
                continue;
            }
            text.replace(inner, end - inner, kMask);
            search = inner + kMask.size();
            continue;
        }
        std::size_t end = start;
        while (end < text.size() && !EndsUnquotedValue(text[end])) ++end;
        if (end == start) {
            search = start;
            continue;
        }
        text.replace(start, end - start, kMask);
        search = start + kMask.size();
    }
}

void MaskUserInfo(std::string& text) {
    std::size_t search = 0;
    while ((search = text.find("://", search)) != std::string::npos) {
        const std::size_t start = search + 3;
        std::size_t authority_end = text.find_first_of("/ \t\r\n", start);
        if (authority_end == std::string::npos) authority_end = text.size();
        const std::size_t at = text.find('@', start);
        if (at != std::string::npos && at < authority_end) {
            text.replace(start, at - start, kMask);
        }
        search = start;
    }
}

bool ReadErrorNumberAfter(const std::string& lowered, const std::string& marker, std::uint32_t& value) {
    const std::size_t found = lowered.find(marker);
    if (found == std::string::npos) return false;
    std::size_t pos = found + marker.size();
    std::uint32_t number = 0;
    std::size_t digits = 0;
    while (pos < lowered.size() && digits < 6 && lowered[pos] >= '0' && lowered[pos] <= '9') {
        number = number * 10 + static_cast<std::uint32_t>(lowered[pos] - '0');
        ++pos;
        ++digits;
    }
    if (digits == 0 || number < 1 || number > 65535) return false;
    value = number;
    return true;
}

}  // namespace

std::string RedactSecrets(const std::string& text) {
    std::string out = text;
    for (const char* key : kSecretKeys) {
        MaskJsonMembers(out, key);
        MaskAssignments(out, key);
    }
    MaskUserInfo(out);
    for (char& ch : out) {
        if (ch == '\r' || ch == '\n') ch = ' ';
    }
    if (out.size() > kRedactedTail) out.erase(0, out.size() - kRedactedTail);
    return out;
}

std::string RedactSecretsShort(const std::string& text) {
    std::string out = RedactSecrets(text);
    if (out.size() > kShortLength) out.resize(kShortLength);
    return out;
}

bool IsAuthFailure(const std::string& text) {
    const std::string lowered = LowerAscii(text);
    return lowered.find("authentication failed") != std::string::npos ||
           lowered.find("invalid password") != std::string::npos ||
           lowered.find("auth failure") != std::string::npos;
}

std::uint32_t ExtractErrorNumber(const std::string& text) {
    const std::string lowered = LowerAscii(text);
    for (const char* marker : {"win32=", "winerror=", "errno=", "error "}) {
        std::uint32_t value = 0;
        if (ReadErrorNumberAfter(lowered, marker, value)) return value;
    }
    return 0;
}

TunFailure ClassifyTunFailure(const TunDiagnosis& diagnosis) {
    if (!diagnosis.process_alive) return {"process_died", diagnosis.exit_status};
    int named = 0;
    int ready = 0;
    for (const AdapterInfo& adapter : diagnosis.adapters) {
        if (adapter.name != kTunAdapterName) continue;
        ++named;
        if (adapter.up && adapter.luid != 0 && adapter.index != 0) ++ready;
    }
    const int not_ready = named - ready;
    if (named > 1) return {"adapter_name_conflict", 0};
    if (LowerAscii(diagnosis.output).find("already exists") != std::string::npos) {
        return {"adapter_name_conflict", 0};
    }
    if (not_ready > 0) return {"adapter_state_not_up", 0};
    const std::uint32_t error = ExtractErrorNumber(diagnosis.output);
    if (error != 0 && ready == 0) return {"wintun_create_failed", error};
    if (diagnosis.adapters_listed) return {ready > 0 ? "adapter_up" : "adapter_not_found", 0};
    return {"adapter_not_found", diagnosis.list_error};
}

}  // namespace vantorel
