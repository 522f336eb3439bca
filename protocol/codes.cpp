#include "protocol/codes.h"

namespace vantorel {

const char kConnectionLostMessage[] = "Соединение прервано";
const char kNetworkChangedMessage[] = "Сеть изменилась. Подключение остановлено.";
const char kCaptureFailedMessage[] = "Сбой применения маршрутов";
const char kBrokerBusyMessage[] =
    "Окно Ванторел уже подключено к службе. Закройте его, чтобы управлять туннелем отсюда";
const char kBrokerUnavailableMessage[] = "Служба Ванторел недоступна. Переустановите приложение";
const char kCommandNotSentMessage[] = "Команда подключения не передана";

namespace {

struct CodeText {
    const char* name;
    const char* message;
};

// Indexed by the numeric ErrorCode; records and logs store the numbers.
constexpr CodeText kCodeTexts[] = {
    {"", ""},
    {"resolve_failed", "Не удалось определить адрес сервера"},
    {"foreign_tunnel", "Обнаружен активный туннель"},
    {"route_failed", "Сбой сетевого стека"},
    {"core_start_failed", "Сбой локальной службы туннеля"},
    {"key_probe_failed", "Ключ не принят сервером или узел недоступен"},
    {"tun_not_ready", "Виртуальный адаптер недоступен"},
    {"egress_failed", "Не удалось подтвердить доступность узла. Попробуйте другой сервер"},
    {"core_exited", "Сбой локальной службы туннеля"},
    {"tun_init_timeout", "Сбой сетевого адаптера туннеля"},
    {"egress_timeout", "Узел недоступен"},
    {"auth_rejected", "Ключ не принят сервером"},
    {"invalid_profile", "Неверный порт сервера"},
    {"cleanup_failed", "Ошибка восстановления сети. Перезапустите службу"},
    {"busy", "Подключение уже идёт"},
    {"protocol", "Переустановите Ванторел"},
    {"invalid_link", "Ссылка подключения неверна или не поддерживается"},
    {"server_address_refused", "Адрес сервера недопустим"},
    {"disk_full", "Недостаточно места на диске"},
    {"service_stopping", "Служба Ванторел останавливается. Подключитесь, когда она снова запустится"},
    {"teardown_timeout", "Предыдущее подключение не закрылось вовремя. Повторите попытку"},
    {"engine_untrusted", "Папка программы доступна для записи другим пользователям. Переустановите Ванторел"},
    {"firewall_failed", "Не удалось включить защиту от утечек трафика"},
};

constexpr int kCodeCount = static_cast<int>(sizeof kCodeTexts / sizeof kCodeTexts[0]);

// Values read back from a ledger may be anything; out-of-range ones get the empty entry.
const CodeText& TextsFor(ErrorCode code) {
    const int value = static_cast<int>(code);
    if (value < 0 || value >= kCodeCount) return kCodeTexts[0];
    return kCodeTexts[value];
}

}  // namespace

const char* SessionStateName(SessionState state) {
    switch (state) {
        case SessionState::idle:
            return "idle";
        case SessionState::connecting:
            return "connecting";
        case SessionState::connected:
            return "connected";
        case SessionState::disconnecting:
            return "disconnecting";
    }
    return "idle";
}

const char* ErrorCodeName(ErrorCode code) { return TextsFor(code).name; }

const char* DisconnectReasonName(DisconnectReason reason) {
    switch (reason) {
        case DisconnectReason::client_gone:
            return "client_gone";
        case DisconnectReason::explicit_request:
            return "explicit";
        case DisconnectReason::service_stop:
            return "service_stop";
        case DisconnectReason::suspend:
            return "suspend";
        case DisconnectReason::lost:
            return "lost";
    }
    return "unknown";
}

std::string MessageForCode(ErrorCode code, const std::string& detail) {
    if (code == ErrorCode::none) return detail;
    return TextsFor(code).message;
}

namespace {

struct LinkRefusal {
    const char* field;
    const char* part;
};

constexpr LinkRefusal kLinkRefusals[] = {
    {"scheme", "поддерживаются только ссылки vless://, hysteria2:// и hy2://"},
    {"auth", "нет ключа пользователя (часть ссылки перед @)"},
    {"host", "неверный адрес сервера"},
    {"ipv6", "адрес сервера IPv6 не поддерживается, нужен IPv4-адрес или имя"},
    {"encoding", "текст ссылки не в кодировке UTF-8"},
    {"insecure", "неверное значение insecure"},
    {"alpn", "неверный список alpn"},
    {"mportHopInt", "неверный интервал смены портов (mportHopInt)"},
    {"pinSHA256", "закрепление сертификата (pinSHA256) не поддерживается"},
    {"obfs", "обфускация не поддерживается (кроме salamander)"},
    {"obfs-password", "для обфускации salamander нужен obfs-password"},
    {"encryption", "шифрование VLESS (encryption) не поддерживается"},
    {"security", "режим защиты (security) не поддерживается с этим транспортом"},
    {"type", "транспорт (type) не поддерживается"},
    {"headerType", "маскировка заголовков (headerType) не поддерживается"},
    {"ed", "ранние данные (ed) заданы неверно или не поддерживаются"},
    {"http-host", "неверный список host транспорта http"},
    {"serviceName", "путь gRPC (serviceName) не поддерживается"},
    {"mode", "режим gRPC (mode) не поддерживается"},
    {"authority", "параметр gRPC authority не поддерживается"},
    {"quicSecurity", "шифрование QUIC (quicSecurity, key) не поддерживается"},
    {"flow", "неверный flow: допускается только xtls-rprx-vision с TLS или Reality без транспорта"},
    {"fp", "неизвестный или неприменимый отпечаток TLS (fp)"},
    {"reality", "не указан ключ Reality (pbk)"},
    {"pbk", "неверный ключ Reality (pbk)"},
    {"sid", "неверный short id Reality (sid)"},
    {"spx", "параметр Reality spx не поддерживается"},
    {"pqv", "параметр Reality pqv не поддерживается"},
    {"ech", "ECH (ech) не поддерживается"},
    {"pcs", "закрепление сертификата (pcs) не поддерживается"},
    {"vcn", "проверка имён сертификата (vcn) не поддерживается"},
    {"packetEncoding", "неизвестная упаковка UDP (packetEncoding)"},
};

}  // namespace

std::string LinkRefusalMessage(const std::string& field) {
    for (const LinkRefusal& refusal : kLinkRefusals) {
        if (field == refusal.field) return std::string("Ссылка подключения не подходит: ") + refusal.part;
    }
    return MessageForCode(ErrorCode::invalid_link);
}

}  // namespace vantorel
