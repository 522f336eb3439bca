#include <gtest/gtest.h>

#include <string>

#include "protocol/codes.h"

namespace vantorel {
namespace {

struct CodeCase {
    int value;
    std::string name;
    std::string message;
};

class ErrorCodeTable : public ::testing::TestWithParam<CodeCase> {};

TEST_P(ErrorCodeTable, NameAndMessageAreExact) {
    const auto& c = GetParam();
    const auto code = static_cast<ErrorCode>(c.value);
    EXPECT_EQ(std::string(ErrorCodeName(code)), c.name);
    EXPECT_EQ(MessageForCode(code), c.message);
    // The detail only ever reaches the user for code none.
    EXPECT_EQ(MessageForCode(code, "detail"), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, ErrorCodeTable,
    ::testing::Values(CodeCase{1, "resolve_failed", "Не удалось определить адрес сервера"},
                      CodeCase{2, "foreign_tunnel", "Обнаружен активный туннель"},
                      CodeCase{3, "route_failed", "Сбой сетевого стека"},
                      CodeCase{4, "core_start_failed", "Сбой локальной службы туннеля"},
                      CodeCase{5, "key_probe_failed", "Ключ не принят сервером или узел недоступен"},
                      CodeCase{6, "tun_not_ready", "Виртуальный адаптер недоступен"},
                      CodeCase{7, "egress_failed", "Не удалось подтвердить доступность узла. Попробуйте другой сервер"},
                      CodeCase{8, "core_exited", "Сбой локальной службы туннеля"},
                      CodeCase{9, "tun_init_timeout", "Сбой сетевого адаптера туннеля"},
                      CodeCase{10, "egress_timeout", "Узел недоступен"},
                      CodeCase{11, "auth_rejected", "Ключ не принят сервером"},
                      CodeCase{12, "invalid_profile", "Неверный порт сервера"},
                      CodeCase{13, "cleanup_failed", "Ошибка восстановления сети. Перезапустите службу"},
                      CodeCase{14, "busy", "Подключение уже идёт"}, CodeCase{15, "protocol", "Переустановите Ванторел"},
                      CodeCase{static_cast<int>(ErrorCode::service_stopping), "service_stopping",
                               "Служба Ванторел останавливается. Подключитесь, когда она снова запустится"},
                      CodeCase{static_cast<int>(ErrorCode::teardown_timeout), "teardown_timeout",
                               "Предыдущее подключение не закрылось вовремя. Повторите попытку"},
                      CodeCase{static_cast<int>(ErrorCode::engine_untrusted), "engine_untrusted",
                               "Папка программы доступна для записи другим пользователям. Переустановите Ванторел"},
                      CodeCase{static_cast<int>(ErrorCode::firewall_failed), "firewall_failed",
                               "Не удалось включить защиту от утечек трафика"},
                      CodeCase{static_cast<int>(ErrorCode::firewall_failed) + 1, "", ""}, CodeCase{-1, "", ""},
                      CodeCase{1000, "", ""}));

TEST(MessageForCode, InvalidLinkNamesThePartOfTheLink) {
    EXPECT_EQ(LinkRefusalMessage("pinSHA256"),
              "Ссылка подключения не подходит: закрепление сертификата (pinSHA256) не поддерживается");
    EXPECT_EQ(LinkRefusalMessage("no-such-part"), MessageForCode(ErrorCode::invalid_link));
}

// Codes added later are named by the enum: their numbers follow the order of merging.
TEST(ErrorCodeTable, LaterCodesByName) {
    const std::pair<ErrorCode, std::pair<const char*, const char*>> rows[] = {
        {ErrorCode::invalid_link, {"invalid_link", "Ссылка подключения неверна или не поддерживается"}},
        {ErrorCode::server_address_refused, {"server_address_refused", "Адрес сервера недопустим"}},
        {ErrorCode::disk_full, {"disk_full", "Недостаточно места на диске"}},
    };
    for (const auto& [code, texts] : rows) {
        EXPECT_EQ(std::string(ErrorCodeName(code)), texts.first);
        EXPECT_EQ(MessageForCode(code, "detail"), texts.second);
    }
}

TEST(MessageForCode, NoneReturnsTheDetailUnchanged) {
    EXPECT_EQ(MessageForCode(ErrorCode::none, "Сервер: \"x\"\n"), "Сервер: \"x\"\n");
    EXPECT_EQ(MessageForCode(ErrorCode::none), "");
    EXPECT_EQ(std::string(ErrorCodeName(ErrorCode::none)), "");
}

TEST(MessageForCode, BusyTextIsExactUtf8) {
    // "идёт" must carry the letter yo (D1 91), not a plain e.
    EXPECT_EQ(MessageForCode(ErrorCode::busy, "ignored"),
              "\xd0\x9f\xd0\xbe\xd0\xb4\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87\xd0\xb5\xd0\xbd\xd0\xb8\xd0\xb5 "
              "\xd1\x83\xd0\xb6\xd0\xb5 \xd0\xb8\xd0\xb4\xd1\x91\xd1\x82");
}

TEST(SessionStateName, NamesAndFallback) {
    const std::pair<int, const char*> rows[] = {{0, "idle"},          {1, "connecting"}, {2, "connected"},
                                                {3, "disconnecting"}, {7, "idle"},       {-1, "idle"}};
    for (const auto& [value, name] : rows) {
        EXPECT_EQ(std::string(SessionStateName(static_cast<SessionState>(value))), name) << value;
    }
}

TEST(DisconnectReasonName, NamesAndFallback) {
    const std::pair<int, const char*> rows[] = {{0, "client_gone"}, {1, "explicit"}, {2, "service_stop"},
                                                {3, "suspend"},     {4, "lost"},     {9, "unknown"},
                                                {-1, "unknown"}};
    for (const auto& [value, name] : rows) {
        EXPECT_EQ(std::string(DisconnectReasonName(static_cast<DisconnectReason>(value))), name) << value;
    }
}

}  // namespace
}  // namespace vantorel
