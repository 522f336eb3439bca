#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "protocol/events.h"
#include "tests/protocol/document_check.h"

namespace vantorel {
namespace {

using Keys = std::vector<std::string>;

const Keys kAckKeys = {"event", "command", "accepted", "generation", "code", "message"};
const Keys kStateKeys = {"event", "generation", "state", "code", "message", "cleanup_verified"};

struct AckCase {
    std::string command;
    bool accepted;
    long long generation;
    std::string code;
    std::string message;
    std::string expected;
};

class AckEventTable : public ::testing::TestWithParam<AckCase> {};

TEST_P(AckEventTable, WritesExactBytes) {
    const auto& c = GetParam();
    const std::string text = WriteAckEvent(c.command, c.accepted, c.generation, c.code, c.message);
    EXPECT_EQ(text, c.expected);
    const auto doc = test::ParseDocument(text);
    EXPECT_EQ(test::KeysOf(doc), kAckKeys);
    EXPECT_EQ(doc["event"], "ack");
    EXPECT_EQ(doc["command"].get<std::string>(), c.command);
    EXPECT_EQ(doc["accepted"].get<bool>(), c.accepted);
    EXPECT_EQ(doc["generation"].get<long long>(), c.generation);
    EXPECT_EQ(doc["code"], c.code.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(c.code));
    EXPECT_EQ(doc["message"], c.message.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AckEventTable,
    ::testing::Values(
        AckCase{"connect", true, 12, "", "",
                R"({"event":"ack","command":"connect","accepted":true,"generation":12,"code":null,"message":null})"},
        AckCase{"hello", false, 0, "protocol", "Переустановите Ванторел",
                R"({"event":"ack","command":"hello","accepted":false,"generation":0,"code":"protocol",)"
                R"("message":"Переустановите Ванторел"})"},
        AckCase{"clear_log", false, 3, "blocked service.log.1 service.log", "",
                R"({"event":"ack","command":"clear_log","accepted":false,"generation":3,)"
                R"("code":"blocked service.log.1 service.log","message":null})"},
        AckCase{"we\"ird\\\n", true, -5, "c\td", "line\x01",
                R"({"event":"ack","command":"we\"ird\\\n","accepted":true,"generation":-5,"code":"c\td",)"
                R"("message":"line\u0001"})"},
        AckCase{"", false, LLONG_MIN, "", "",
                R"({"event":"ack","command":"","accepted":false,"generation":-9223372036854775808,)"
                R"("code":null,"message":null})"}));

TEST(StateEvent, ConnectedSnapshotReadsExactly) {
    TunnelSnapshot snapshot;
    snapshot.state = SessionState::connected;
    snapshot.generation = 5;
    EXPECT_EQ(WriteStateEvent(snapshot),
              R"({"event":"state","generation":5,"state":"connected","code":null,"message":null,)"
              R"("cleanup_verified":true})");
}

struct StateCase {
    TunnelSnapshot snapshot;
    std::string expected;
};

class StateEventTable : public ::testing::TestWithParam<StateCase> {};

TEST_P(StateEventTable, WritesExactBytes) {
    const auto& c = GetParam();
    const std::string text = WriteStateEvent(c.snapshot);
    EXPECT_EQ(text, c.expected);
    const auto doc = test::ParseDocument(text);
    EXPECT_EQ(test::KeysOf(doc), kStateKeys);
    EXPECT_EQ(doc["generation"].get<long long>(), c.snapshot.generation);
    EXPECT_EQ(doc["cleanup_verified"].get<bool>(), c.snapshot.cleanup_verified);
    EXPECT_EQ(doc["message"],
              c.snapshot.message.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(c.snapshot.message));
}

TunnelSnapshot Snapshot(SessionState state, long long generation, ErrorCode code, std::string message, bool verified) {
    TunnelSnapshot s;
    s.state = state;
    s.generation = generation;
    s.code = code;
    s.message = std::move(message);
    s.cleanup_verified = verified;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateEventTable,
    ::testing::Values(
        StateCase{Snapshot(SessionState::idle, 0, ErrorCode::none, "", true),
                  R"({"event":"state","generation":0,"state":"idle","code":null,"message":null,)"
                  R"("cleanup_verified":true})"},
        StateCase{Snapshot(SessionState::connecting, 41, ErrorCode::none, "", false),
                  R"({"event":"state","generation":41,"state":"connecting","code":null,"message":null,)"
                  R"("cleanup_verified":false})"},
        StateCase{Snapshot(SessionState::disconnecting, 2, ErrorCode::none, "", true),
                  R"({"event":"state","generation":2,"state":"disconnecting","code":null,"message":null,)"
                  R"("cleanup_verified":true})"},
        StateCase{Snapshot(SessionState::idle, 9, ErrorCode::cleanup_failed,
                           "Ошибка восстановления сети. Перезапустите службу", false),
                  R"({"event":"state","generation":9,"state":"idle","code":"cleanup_failed",)"
                  R"("message":"Ошибка восстановления сети. Перезапустите службу","cleanup_verified":false})"},
        StateCase{Snapshot(static_cast<SessionState>(7), 1, static_cast<ErrorCode>(99), "say \"hi\"", true),
                  R"({"event":"state","generation":1,"state":"idle","code":null,"message":"say \"hi\"",)"
                  R"("cleanup_verified":true})"},
        StateCase{Snapshot(SessionState::connected, -1, ErrorCode::protocol, "", true),
                  R"({"event":"state","generation":-1,"state":"connected","code":"protocol","message":null,)"
                  R"("cleanup_verified":true})"}));

TEST(TunReadyEvent, WritesExactBytes) {
    for (long long generation : {0LL, 1LL, 123456789012LL, -2LL}) {
        const std::string text = WriteTunReadyEvent(generation);
        EXPECT_EQ(text, R"({"event":"tun_ready","generation":)" + std::to_string(generation) +
                            R"(,"state":"connecting","code":null,"message":null,"cleanup_verified":false})");
        const auto doc = test::ParseDocument(text);
        EXPECT_EQ(test::KeysOf(doc), kStateKeys);
        EXPECT_EQ(doc["generation"].get<long long>(), generation);
    }
}

struct FixedDocumentCase {
    std::string name;
    std::string text;
    std::string expected;
    Keys keys;
};

class ControllerDocumentTable : public ::testing::TestWithParam<FixedDocumentCase> {};

TEST_P(ControllerDocumentTable, WritesExactBytes) {
    const auto& c = GetParam();
    EXPECT_EQ(c.text, c.expected);
    EXPECT_EQ(c.text.find('\n'), std::string::npos);
    EXPECT_EQ(test::KeysOf(test::ParseDocument(c.text)), c.keys);
}

const Keys kPrintedStateKeys = {"event", "generation", "state", "code", "message", "cleanup_verified", "win32"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ControllerDocumentTable,
    ::testing::Values(
        FixedDocumentCase{"busy", BrokerBusyDocument(),
                          R"({"event":"state","generation":0,"state":"idle","code":"broker_busy","message":)"
                          R"("Окно Ванторел уже подключено к службе. Закройте его, чтобы управлять туннелем )"
                          R"(отсюда","cleanup_verified":true,"win32":231})",
                          kPrintedStateKeys},
        FixedDocumentCase{"unavailable_2", BrokerUnavailableDocument(2),
                          R"({"event":"state","generation":0,"state":"idle","code":"broker_unavailable",)"
                          R"("message":"Служба Ванторел недоступна. Переустановите приложение",)"
                          R"("cleanup_verified":true,"win32":2})",
                          kPrintedStateKeys},
        FixedDocumentCase{"unavailable_max", BrokerUnavailableDocument(4294967295u),
                          R"({"event":"state","generation":0,"state":"idle","code":"broker_unavailable",)"
                          R"("message":"Служба Ванторел недоступна. Переустановите приложение",)"
                          R"("cleanup_verified":true,"win32":4294967295})",
                          kPrintedStateKeys},
        FixedDocumentCase{"client_error", ClientErrorDocument("direct_domains"),
                          R"({"event":"client_error","generation":0,"state":"","code":"direct_domains",)"
                          R"("message":"Команда подключения не передана","cleanup_verified":true})",
                          kStateKeys},
        FixedDocumentCase{"client_error_frame", ClientErrorDocument("frame"),
                          R"({"event":"client_error","generation":0,"state":"","code":"frame",)"
                          R"("message":"Команда подключения не передана","cleanup_verified":true})",
                          kStateKeys},
        FixedDocumentCase{"broker_closed", BrokerClosedDocument(),
                          R"({"event":"broker_closed","generation":0,"state":"","code":"broker_unavailable",)"
                          R"("message":null})",
                          Keys{"event", "generation", "state", "code", "message"}},
        FixedDocumentCase{"disconnect_timeout", DisconnectTimeoutDocument(),
                          R"({"event":"state","generation":0,"state":"disconnecting","code":"disconnect_timeout",)"
                          R"("message":null,"cleanup_verified":false})",
                          kStateKeys}),
    [](const auto& info) { return info.param.name; });

TEST(ControllerDocuments, UnavailableNumberIsUnsigned) {
    const auto doc = test::ParseDocument(BrokerUnavailableDocument(0x80070005u));
    EXPECT_EQ(doc["win32"].get<std::uint64_t>(), 2147942405u);
}

TEST(ControllerDocuments, ClientErrorStaysWellFormedForAnyCode) {
    const auto doc = test::ParseDocument(ClientErrorDocument("a\"b"));
    EXPECT_EQ(doc["code"], "a\"b");
}

struct ClientCodeCase {
    std::string parserError;
    std::string code;
};

class ClientErrorCodeTable : public ::testing::TestWithParam<ClientCodeCase> {};

TEST_P(ClientErrorCodeTable, PassesOnlyPlainNames) {
    EXPECT_EQ(ClientErrorCode(GetParam().parserError), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClientErrorCodeTable,
                         ::testing::Values(ClientCodeCase{"", "protocol"}, ClientCodeCase{"command", "command"},
                                           ClientCodeCase{"config", "config"},
                                           ClientCodeCase{"force_proxy_domains", "force_proxy_domains"},
                                           ClientCodeCase{"A9_z", "A9_z"}, ClientCodeCase{"a-b", "protocol"},
                                           ClientCodeCase{"a b", "protocol"}, ClientCodeCase{"x\"", "protocol"},
                                           ClientCodeCase{"\xd0\x90", "protocol"},
                                           ClientCodeCase{std::string("a\0b", 3), "protocol"}));

}  // namespace
}  // namespace vantorel
