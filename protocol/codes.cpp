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

}  // namespace vantorel
