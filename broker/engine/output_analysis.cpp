#include "broker/engine/output_analysis.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "protocol/ascii_text.h"

namespace vantorel {
namespace {

constexpr std::array<const char*, 16> kSecretKeys = {
    "obfs-password", "obfs_password", "password",      "passwd", "auth",     "hysteriaAuth", "token", "api_key",
    "apikey",        "secret",        "authorization", "user",   "username", "login",        "uuid",  "short_id"};

// The engine prints a Windows error as the system's own message (Go asks for US English first,
// then the system language), never as a number. The texts of the adapter failures that matter,
// as Windows words them; a longer text sharing a beginning comes first.
struct SystemText {
    const char* text;
    std::uint32_t number;
};
constexpr SystemText kSystemTexts[] = {
    {"Access is denied.", 5},
    {"Отказано в доступе.", 5},
    {"The system cannot find the file specified.", 2},
    {"Не удается найти указанный файл.", 2},
    {"The system cannot find the path specified.", 3},
    {"Системе не удается найти указанный путь.", 3},
    {"Cannot create a file when that file already exists.", 183},
    {"Невозможно создать файл, так как он уже существует.", 183},
    {"The device is not ready for use.", 4319},
    {"Устройство не готово к использованию.", 4319},
    {"The device is not ready.", 21},
    {"Устройство не готово.", 21},
    {"Element not found.", 1168},
    {"Элемент не найден.", 1168},
    {"The parameter is incorrect.", 87},
    {"Параметр задан неверно.", 87},
    {"A device attached to the system is not functioning.", 31},
    {"Присоединенное к системе устройство не работает.", 31},
    {"Insufficient system resources exist to complete the requested service.", 1450},
    {"Недостаточно системных ресурсов для завершения операции.", 1450},
    {"The driver could not be loaded because a previous version of the driver is still in memory.", 654},
    {"This driver has been blocked from loading", 1275},
    {"Windows cannot verify the digital signature for this file.", 577},
    {"The service has not been started.", 1062},
    {"Служба не запущена.", 1062},
};

constexpr std::size_t kRedactedTail = 4096;
constexpr std::size_t kShortLength = 256;
const std::string kMask = "***";

bool IsNameChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' ||
           ch == '.';
}

bool EndsUnquotedValue(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '&' || ch == '"' || ch == '\'';
}

std::size_t SkipSpace(const std::string& text, std::size_t pos) {
    while (pos < text.size() && IsClassicSpace(text[pos])) ++pos;
    return pos;
}

// End of a quoted run that starts at `start`: the matching unescaped quote, or the end of the text.
std::size_t QuotedEnd(const std::string& text, std::size_t start, char quote) {
    std::size_t pos = start;
    while (pos < text.size() && text[pos] != quote) {
        pos += text[pos] == '\\' ? 2 : 1;
    }
    return pos < text.size() ? pos : text.size();
}

// A value some mask hides: [begin, end) of the original text. An empty span still shows "***".
struct Span {
    std::size_t begin;
    std::size_t end;
};

// JSON written into a log line as a string has every quote escaped: \"key\":\"value\". In that
// form a run of n backslashes before a quote ends the inner value when n % 4 == 1 (the inner quote
// itself); n % 4 == 3 is an escaped quote inside the value; an even run is the outer text's quote.
std::size_t EscapedQuotedEnd(const std::string& text, std::size_t start) {
    std::size_t pos = start;
    std::size_t run = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] == '\\') {
            ++run;
            continue;
        }
        if (text[pos] == '"' && (run % 4 == 1 || run % 2 == 0)) return pos - (run % 4 == 1 ? 1 : 0);
        run = 0;
    }
    return text.size();
}

// Every occurrence of the quoted key is tried, overlapping ones included ("password"password":…).
void JsonMemberSpans(const std::string& text, const std::string& key, bool escaped, std::vector<Span>& spans) {
    const std::string quote = escaped ? "\\\"" : "\"";
    const std::string needle = quote + key + quote;
    for (std::size_t found = text.find(needle); found != std::string::npos; found = text.find(needle, found + 1)) {
        std::size_t pos = SkipSpace(text, found + needle.size());
        if (pos >= text.size() || text[pos] != ':') continue;
        pos = SkipSpace(text, pos + 1);
        if (text.compare(pos, quote.size(), quote) != 0) continue;
        const std::size_t start = pos + quote.size();
        const std::size_t end = escaped ? EscapedQuotedEnd(text, start) : QuotedEnd(text, start, '"');
        spans.push_back({start, end});
    }
}

void AssignmentSpans(const std::string& text, const std::string& key, std::vector<Span>& spans) {
    const std::string needle = key + "=";
    for (std::size_t found = text.find(needle); found != std::string::npos; found = text.find(needle, found + 1)) {
        // Preceded by a name character, the key is the tail of a longer name.
        if (found > 0 && IsNameChar(text[found - 1])) continue;
        const std::size_t start = found + needle.size();
        if (start < text.size() && (text[start] == '"' || text[start] == '\'')) {
            // A quoted value would otherwise end the mask at its opening quote and keep the secret.
            const std::size_t inner = start + 1;
            const std::size_t end = QuotedEnd(text, inner, text[start]);
            if (end > inner) spans.push_back({inner, end});
            continue;
        }
        std::size_t end = start;
        while (end < text.size() && !EndsUnquotedValue(text[end])) ++end;
        if (end > start) spans.push_back({start, end});
    }
}

void UserInfoSpans(const std::string& text, std::vector<Span>& spans) {
    for (std::size_t found = text.find("://"); found != std::string::npos; found = text.find("://", found + 1)) {
        const std::size_t start = found + 3;
        std::size_t authority_end = text.find_first_of("/ \t\r\n", start);
        if (authority_end == std::string::npos) authority_end = text.size();
        const std::size_t at = text.find('@', start);
        if (at != std::string::npos && at < authority_end) spans.push_back({start, at});
    }
}

// A text as long as the engine host's tail may have lost its front, and with it the key of a value
// it starts inside. Its first line is withheld: up to the first line break, or all of it.
void LeadingLineSpan(const std::string& text, bool full_tail, std::vector<Span>& spans) {
    if (!full_tail) return;
    const std::size_t line_end = text.find_first_of("\r\n");
    spans.push_back({0, line_end == std::string::npos ? text.size() : line_end});
}

// Every span is found on the original text, so no mask can hide what another one must see; then
// overlapping and touching spans are joined and each joined run becomes one "***".
std::string ApplySpans(const std::string& text, std::vector<Span>& spans) {
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin || (a.begin == b.begin && a.end > b.end); });
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    std::size_t i = 0;
    while (i < spans.size()) {
        const std::size_t begin = spans[i].begin;
        std::size_t end = spans[i].end;
        for (++i; i < spans.size() && spans[i].begin <= end; ++i) {
            end = std::max(end, spans[i].end);
        }
        out.append(text, copied, begin - copied);
        out += kMask;
        copied = end;
    }
    out.append(text, copied, std::string::npos);
    return out;
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

// Colour and cursor sequences (ESC, '[', parameters, one final byte) and any lone ESC: the engine
// colours its level words when writing to a console or a pipe.
std::string StripEscapes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\x1b') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x20 &&
                   static_cast<unsigned char>(text[end]) <= 0x3f) {
                ++end;
            }
            i = end < text.size() && static_cast<unsigned char>(text[end]) >= 0x40 &&
                        static_cast<unsigned char>(text[end]) <= 0x7e
                    ? end
                    : end - 1;
        }
    }
    return out;
}

std::string Mask(const std::string& text, bool full_tail) {
    std::vector<Span> spans;
    for (const char* key : kSecretKeys) {
        JsonMemberSpans(text, key, false, spans);
        JsonMemberSpans(text, key, true, spans);
        AssignmentSpans(text, key, spans);
    }
    UserInfoSpans(text, spans);
    LeadingLineSpan(text, full_tail, spans);
    return ApplySpans(text, spans);
}

// The masked text without escapes, its line breaks still in place. Masked before and after the
// escapes go: an escape may be all that parts a key from a longer name ("Q<ESC>secret="), or sit
// inside a key ("pass<ESC>[0mword=").
std::string MaskKeepingLines(const std::string& raw) {
    return Mask(StripEscapes(Mask(raw, raw.size() == kRedactedTail)), false);
}

void JoinLines(std::string& text) {
    for (char& ch : text) {
        if (ch == '\r' || ch == '\n') ch = ' ';
    }
}

bool IsUtf8Continuation(char ch) { return (static_cast<unsigned char>(ch) & 0xc0) == 0x80; }

}  // namespace

std::string RedactSecrets(const std::string& text) {
    std::string out = MaskKeepingLines(text);
    JoinLines(out);
    if (out.size() > kRedactedTail) out.erase(0, out.size() - kRedactedTail);
    return out;
}

// The engine's reason is its last line (a FATAL line before its exit, an ERROR line before a
// failed check): keep the last whole lines that fit, or the end of the last line alone.
std::string RedactSecretsShort(const std::string& text) {
    std::string out = MaskKeepingLines(text);
    while (!out.empty() && IsClassicSpace(out.back())) out.pop_back();
    if (out.size() > kShortLength) {
        std::size_t cut = out.size() - kShortLength;
        const std::size_t line_start = out.find_first_of("\r\n", cut == 0 ? 0 : cut - 1);
        if (line_start != std::string::npos && line_start + 1 < out.size()) {
            cut = std::max(cut, line_start + 1);
        }
        while (cut < out.size() && IsUtf8Continuation(out[cut])) ++cut;
        out.erase(0, cut);
    }
    while (!out.empty() && IsClassicSpace(out.front())) out.erase(0, 1);
    JoinLines(out);
    return out;
}

// hysteria2: "authentication failed, status code: N". Reality: a server that does not accept the
// link's public key or short id hands the connection to its cover site, whose certificate then
// fails the engine's check ("reality verification failed").
bool IsAuthFailure(const std::string& text) {
    const std::string lowered = AsciiLower(text);
    return lowered.find("authentication failed") != std::string::npos ||
           lowered.find("invalid password") != std::string::npos || lowered.find("auth failure") != std::string::npos ||
           lowered.find("reality verification failed") != std::string::npos;
}

ApiListener ReadApiListener(const std::string& text) {
    if (text.find("external controller listen error") != std::string::npos) return ApiListener::listen_failed;
    if (text.find("restful api listening at") != std::string::npos) return ApiListener::listening;
    return ApiListener::pending;
}

// With the right key and short id a Reality server signs its own certificate for the session, so
// any certificate check of the server's reply means it sent the cover site's: it refused the key.
bool IsRealityRefusal(const std::string& text) { return text.find("x509: ") != std::string::npos; }

std::uint32_t ExtractErrorNumber(const std::string& text) {
    const std::string lowered = AsciiLower(text);
    for (const char* marker : {"win32=", "winerror=", "errno=", "error ", "winapi error #"}) {
        std::uint32_t value = 0;
        if (ReadErrorNumberAfter(lowered, marker, value)) return value;
    }
    // The last system text in the output: the engine's final line gives its reason.
    std::uint32_t number = 0;
    std::size_t latest = 0;
    for (const SystemText& entry : kSystemTexts) {
        const std::size_t found = lowered.rfind(AsciiLower(entry.text));
        if (found != std::string::npos && (number == 0 || found > latest)) {
            number = entry.number;
            latest = found;
        }
    }
    return number;
}

bool EngineReportedFatal(const std::string& text) {
    const std::string plain = StripEscapes(text);
    for (std::size_t found = plain.find("FATAL"); found != std::string::npos; found = plain.find("FATAL", found + 1)) {
        const bool line_start = found == 0 || plain[found - 1] == '\n' || plain[found - 1] == '\r';
        const std::size_t after = found + 5;
        if (line_start && after < plain.size() && (plain[after] == '[' || plain[after] == ' ')) return true;
    }
    return false;
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
    if (AsciiLower(diagnosis.output).find("already exists") != std::string::npos ||
        diagnosis.output.find("уже существует") != std::string::npos) {
        return {"adapter_name_conflict", 0};
    }
    if (not_ready > 0) return {"adapter_state_not_up", 0};
    const std::uint32_t error = ExtractErrorNumber(diagnosis.output);
    if (error != 0 && ready == 0) return {"wintun_create_failed", error};
    if (diagnosis.adapters_listed) return {ready > 0 ? "adapter_up" : "adapter_not_found", 0};
    return {"adapter_not_found", diagnosis.list_error};
}

}  // namespace vantorel
