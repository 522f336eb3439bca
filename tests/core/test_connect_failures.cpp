// Every way a connect can fail: the line logged before the final publish, the published
// outcome, and a host that is clean afterwards.

#include <functional>
#include <optional>

#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

struct ExpectedLine {
    std::string event;
    std::string code;
    std::uint32_t win32 = 0;
};

struct FailureRow {
    const char* name;
    std::function<void(FakeHost&, ConnectJob&)> arrange;
    ErrorCode code;
    std::string message;  // empty: MessageForCode(code)
    std::optional<ExpectedLine> line;
    std::uint32_t state_win32 = 0;  // "win32=" of the final state line
};

void AddForeignTunnel(FakeHost& host, std::uint32_t metric) {
    host.add_interface("WireGuard Tunnel", 5000, 30, false);
    host.add_route("0.0.0.0", 0, 5000, "", metric);
}

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

constexpr char kRealityLink[] =
    "vless://0b3f1e6c-5d2a-4c8e-9f17-3a6b2d4e8c01@vpn.example.net:443?security=reality"
    "&pbk=MkkI0siiYaW-KvH1VEAhGtVvsMBAv88UevmVieg_Swo&sid=ab12&sni=www.example.org";
constexpr char kCoverCertificateLine[] =
    "ERROR[0000] connection: open connection to 203.0.113.204:80 using outbound/vless[proxy]: x509: certificate is "
    "valid for world.example, not www.example.org\n";

std::vector<FailureRow> Rows() {
    return {
        {"route_list_unreadable", [](FakeHost& h, ConnectJob&) { h.fail("list_default_routes", 5); },
         ErrorCode::route_failed, "", std::nullopt, 5},
        {"foreign_tunnel_first_check", [](FakeHost& h, ConnectJob&) { AddForeignTunnel(h, 5); },
         ErrorCode::foreign_tunnel, "Обнаружен активный туннель",
         ExpectedLine{"foreign_adapter", "WireGuard Tunnel", 0}},
        {"six_digit_port", [](FakeHost&, ConnectJob& j) { j.uri = "hysteria2://pw@vpn.example.net:123456"; },
         ErrorCode::invalid_profile, "", ExpectedLine{"profile_parse_failed", "123456", 0}},
        {"port_text_with_at_sign",
         [](FakeHost&, ConnectJob& j) { j.uri = "hysteria2://pw@vpn.example.net?mport=12@34"; },
         ErrorCode::invalid_profile, "", ExpectedLine{"profile_parse_failed", "port", 0}},
        // Other refusals name the part of the link, never the port or a name lookup.
        {"password_not_utf8", [](FakeHost&, ConnectJob& j) { j.uri = "hysteria2://p%FFss@vpn.example.net:443"; },
         ErrorCode::invalid_link, "Ссылка подключения не подходит: текст ссылки не в кодировке UTF-8",
         ExpectedLine{"profile_parse_failed", "encoding", 0}},
        {"bad_scheme", [](FakeHost&, ConnectJob& j) { j.uri = "socks5://pw@vpn.example.net:1080"; },
         ErrorCode::invalid_link,
         "Ссылка подключения не подходит: поддерживаются только ссылки vless://, hysteria2:// и hy2://",
         ExpectedLine{"profile_parse_failed", "scheme", 0}},
        {"ipv6_server", [](FakeHost&, ConnectJob& j) { j.uri = "vless://u@[2001:db8::1]:443"; },
         ErrorCode::invalid_link,
         "Ссылка подключения не подходит: адрес сервера IPv6 не поддерживается, нужен IPv4-адрес или имя",
         ExpectedLine{"profile_parse_failed", "ipv6", 0}},
        {"reality_key_missing",
         [](FakeHost&, ConnectJob& j) { j.uri = "vless://u@vpn.example.net:443?security=reality"; },
         ErrorCode::invalid_link, "Ссылка подключения не подходит: не указан ключ Reality (pbk)",
         ExpectedLine{"profile_parse_failed", "reality", 0}},
        {"certificate_pin", [](FakeHost&, ConnectJob& j) { j.uri = "hy2://pw@vpn.example.net?pinSHA256=deadbeef"; },
         ErrorCode::invalid_link,
         "Ссылка подключения не подходит: закрепление сертификата (pinSHA256) не поддерживается",
         ExpectedLine{"profile_parse_failed", "pinSHA256", 0}},
        {"server_not_resolved", [](FakeHost& h, ConnectJob&) { h.resolver.answers.erase("vpn.example.net"); },
         ErrorCode::resolve_failed, "", std::nullopt},
        {"resolver_throws", [](FakeHost& h, ConnectJob&) { h.resolver.throws_for = "vpn.example.net"; },
         ErrorCode::resolve_failed, "", std::nullopt},
        {"server_is_unspecified", [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "0.0.0.0"; },
         ErrorCode::server_address_refused, "", ExpectedLine{"server_address", "unspecified", 0}},
        {"server_is_loopback", [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "127.0.0.1"; },
         ErrorCode::server_address_refused, "", ExpectedLine{"server_address", "loopback", 0}},
        {"server_is_multicast", [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "224.0.0.1"; },
         ErrorCode::server_address_refused, "", ExpectedLine{"server_address", "multicast", 0}},
        {"server_is_broadcast",
         [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "255.255.255.255"; },
         ErrorCode::server_address_refused, "", ExpectedLine{"server_address", "broadcast", 0}},
        {"server_is_gateway", [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "192.168.1.1"; },
         ErrorCode::server_address_refused, "", ExpectedLine{"server_address", "gateway", 0}},
        {"server_is_own_address",
         [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "192.168.1.20"; },
         ErrorCode::server_address_refused, "", ExpectedLine{"server_address", "own_address", 0}},
        {"config_empty", [](FakeHost& h, ConnectJob&) { h.resolver.answers["vpn.example.net"] = "2001:db8::1"; },
         ErrorCode::core_start_failed, "", ExpectedLine{"core_config_failed", "", 13}},
        {"config_not_written", [](FakeHost& h, ConnectJob&) { h.fail("write_engine_config", 5); },
         ErrorCode::core_start_failed, "", ExpectedLine{"core_config_failed", "", 5}},
        {"config_disk_full", [](FakeHost& h, ConnectJob&) { h.fail("write_engine_config", 112); }, ErrorCode::disk_full,
         "", ExpectedLine{"core_config_failed", "disk_full", 112}},
        {"config_handle_disk_full", [](FakeHost& h, ConnectJob&) { h.fail("write_engine_config", 39); },
         ErrorCode::disk_full, "", ExpectedLine{"core_config_failed", "disk_full", 39}},
        {"engine_not_started", [](FakeHost& h, ConnectJob&) { h.fail("start", 2); }, ErrorCode::core_start_failed, "",
         ExpectedLine{"core_create_process_failed", "", 2}},
        {"engine_not_started_own_code",
         [](FakeHost& h, ConnectJob&) { h.fail("start", 5, -1, 0, std::string("core_pipe_failed")); },
         ErrorCode::core_start_failed, "", ExpectedLine{"core_pipe_failed", "", 5}},
        {"engine_files_writable_by_users",
         [](FakeHost& h, ConnectJob&) { h.fail("start", 5, -1, 0, std::string("core_engine_untrusted")); },
         ErrorCode::engine_untrusted, "", ExpectedLine{"core_engine_untrusted", "", 5}},
        {"job_not_assigned", [](FakeHost& h, ConnectJob&) { h.fail("assign_job", 5, -1, 0, std::string()); },
         ErrorCode::core_start_failed, "", ExpectedLine{"core_job_assign_failed", "", 5}},
        {"engine_not_resumed", [](FakeHost& h, ConnectJob&) { h.fail("resume", 6); }, ErrorCode::core_start_failed, "",
         ExpectedLine{"core_resume_failed", "", 6}},
        {"engine_exited",
         [](FakeHost& h, ConnectJob&) {
             h.engine_script.exit_after_checks = 30;
             h.engine_script.exit_status = 3;
             h.engine_script.creates_tun = false;
             h.engine_script.output = "ERROR start service: bind failed";
         },
         ErrorCode::core_exited, "", ExpectedLine{"core_exited", "ERROR start service: bind failed", 3}},
        // The engine's last line is its reason; the log keeps it, not the oldest lines.
        {"engine_exited_after_its_fatal_line",
         [](FakeHost& h, ConnectJob&) {
             h.engine_script.exit_after_checks = 3;
             h.engine_script.creates_tun = false;
             h.engine_script.output = std::string(300, 'i') +
                                      "\n\x1b[31mFATAL\x1b[0m[0000] start service: start "
                                      "inbound/tun[tun-in]: configure tun interface: Access is denied.\n";
         },
         ErrorCode::core_exited, "",
         ExpectedLine{
             "core_exited",
             "FATAL[0000] start service: start inbound/tun[tun-in]: configure tun interface: Access is denied.", 1}},
        // A FATAL line and no exit: the wait ends after a second, with the reason classified.
        {"engine_fatal_and_hung",
         [](FakeHost& h, ConnectJob&) {
             h.engine_script.creates_tun = false;
             h.engine_script.output = "FATAL[0000] start service: configure tun interface: winapi error #1450\n";
         },
         ErrorCode::tun_init_timeout, "", ExpectedLine{"tun_init_timeout", "wintun_create_failed", 1450}},
        {"adapter_never_ready", [](FakeHost& h, ConnectJob&) { h.engine_script.creates_tun = false; },
         ErrorCode::tun_init_timeout, "", ExpectedLine{"tun_adapter", "none", 0}},
        {"route_list_unreadable_second_check", [](FakeHost& h, ConnectJob&) { h.fail("list_default_routes", 5, 1, 1); },
         ErrorCode::route_failed, "", ExpectedLine{"routes", "pin_failed", 5}, 5},
        {"foreign_tunnel_second_check",
         [](FakeHost& h, ConnectJob&) {
             h.engine_script.tun_after_polls = 1;
             h.sleeper.on_sleep = [&h](int) {
                 if (h.interface_by_alias("WireGuard Tunnel") == nullptr) AddForeignTunnel(h, 5);
             };
         },
         ErrorCode::foreign_tunnel, "", ExpectedLine{"foreign_adapter", "WireGuard Tunnel", 0}},
        {"no_physical_route", [](FakeHost& h, ConnectJob&) { h.fail("find_physical_route", 1168); },
         ErrorCode::route_failed, "", ExpectedLine{"routes", "pin_failed", 1168}, 1168},
        {"pin_not_added", [](FakeHost& h, ConnectJob&) { h.fail("add_pin_route", 5); }, ErrorCode::route_failed, "",
         ExpectedLine{"routes", "pin_failed", 5}, 5},
        {"check_host_not_resolved", [](FakeHost& h, ConnectJob&) { h.resolver.answers.erase(kConnectivityCheckHost); },
         ErrorCode::resolve_failed, "", std::nullopt},
        {"check_host_resolver_throws", [](FakeHost& h, ConnectJob&) { h.resolver.throws_for = kConnectivityCheckHost; },
         ErrorCode::resolve_failed, "", std::nullopt},
        {"canary_not_added", [](FakeHost& h, ConnectJob&) { h.fail("add_host_route", 87); }, ErrorCode::route_failed,
         "", ExpectedLine{"routes", "canary_failed", 87}, 87},
        {"egress_rejected",
         [](FakeHost& h, ConnectJob&) {
             h.egress_works = false;
             h.engine_script.output = "ERROR connection: authentication failed, status code: 401";
         },
         ErrorCode::auth_rejected, "", ExpectedLine{"egress", "auth_rejected", 0}},
        {"egress_timeout", [](FakeHost& h, ConnectJob&) { h.egress_works = false; }, ErrorCode::egress_timeout, "",
         ExpectedLine{"egress", "timeout", kDirectProbeTimeoutMs}},
        // What the real engine prints (tests/engine/real_peers.py); the log keeps the engine's line.
        {"hysteria2_password_refused",
         [](FakeHost& h, ConnectJob&) {
             h.egress_works = false;
             h.engine_script.output =
                 "\x1b[31mERROR\x1b[0m[0000] [3455878427 3ms] connection: open connection to "
                 "203.0.113.204:80 using outbound/hysteria2[proxy]: authentication failed, "
                 "status code: 404\n";
         },
         ErrorCode::auth_rejected, "",
         ExpectedLine{"engine_reason",
                      "ERROR[0000] [3455878427 3ms] connection: open connection to 203.0.113.204:80 using "
                      "outbound/hysteria2[proxy]: authentication failed, status code: 404",
                      0}},
        {"reality_key_refused",
         [](FakeHost& h, ConnectJob& j) {
             j.uri = kRealityLink;
             h.egress_works = false;
             h.engine_script.output =
                 "ERROR[0000] connection: open connection to 203.0.113.204:80 using "
                 "outbound/vless[proxy]: reality verification failed\n";
         },
         ErrorCode::auth_rejected, "", ExpectedLine{"egress", "auth_rejected", 0}},
        {"reality_cover_certificate",
         [](FakeHost& h, ConnectJob& j) {
             j.uri = kRealityLink;
             h.egress_works = false;
             h.engine_script.output = kCoverCertificateLine;
         },
         ErrorCode::auth_rejected, "", ExpectedLine{"egress", "auth_rejected", 0}},
        // The same certificate error on a TLS link is the server's certificate, not the user's key.
        {"tls_certificate_error",
         [](FakeHost& h, ConnectJob& j) {
             j.uri =
                 "vless://0b3f1e6c-5d2a-4c8e-9f17-3a6b2d4e8c01@vpn.example.net:443?security=tls&sni=www.example.org";
             h.egress_works = false;
             h.engine_script.output = kCoverCertificateLine;
         },
         ErrorCode::egress_timeout, "", ExpectedLine{"egress", "timeout", kDirectProbeTimeoutMs}},
        {"unreachable_server_reason",
         [](FakeHost& h, ConnectJob&) {
             h.egress_works = false;
             h.engine_script.output =
                 "ERROR[0004] [2559423777 4.0s] connection: open connection to 203.0.113.204:80 "
                 "using outbound/hysteria2[proxy]: context canceled\n";
         },
         ErrorCode::egress_timeout, "",
         ExpectedLine{"engine_reason",
                      "ERROR[0004] [2559423777 4.0s] connection: open connection to 203.0.113.204:80 using "
                      "outbound/hysteria2[proxy]: context canceled",
                      0}},
        {"canary_not_removed", [](FakeHost& h, ConnectJob&) { h.fail("delete_host_route", 1168); },
         ErrorCode::route_failed, "", ExpectedLine{"routes", "canary_failed", 1168}, 1168},
        {"tunnel_dns_not_set", [](FakeHost& h, ConnectJob&) { h.fail("set_tunnel_dns", 5, 1); },
         ErrorCode::firewall_failed, "", ExpectedLine{"firewall", "dns_failed", 5}},
        {"filters_not_set", [](FakeHost& h, ConnectJob&) { h.fail("firewall_open", 0x80320009u); },
         ErrorCode::firewall_failed, "", ExpectedLine{"firewall", "open_failed", 0x80320009u}},
        {"capture_not_installed", [](FakeHost& h, ConnectJob&) { h.fail("add_capture_routes", 5, -1, 2); },
         ErrorCode::route_failed, "Сбой применения маршрутов", ExpectedLine{"routes", "capture_failed", 5}, 5},
        {"route_table_unreadable", [](FakeHost& h, ConnectJob&) { h.fail("list_routes", 13); }, ErrorCode::route_failed,
         "", ExpectedLine{"routes", "table_unreadable", 13}, 13},
        {"capture_not_verified", [](FakeHost& h, ConnectJob&) { h.fail("verify_capture_routes", 1168); },
         ErrorCode::tun_init_timeout, "", ExpectedLine{"tun_diag", "process_alive", 0}},
    };
}

class ConnectFailure : public CoreScenario, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(ConnectFailure, EndsCleanWithTheRowsCodeLineAndMessage) {
    const FailureRow& row = GetParam();
    row.arrange(host, job);
    const TunnelSnapshot result = connect();

    EXPECT_EQ(result.state, SessionState::idle);
    EXPECT_EQ(result.generation, 1);
    EXPECT_EQ(result.code, row.code);
    EXPECT_EQ(result.message, row.message.empty() ? MessageForCode(row.code) : row.message);
    EXPECT_TRUE(result.cleanup_verified);
    EXPECT_EQ(controller->snapshot().code, row.code);
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(published.back().code, row.code);
    EXPECT_EQ(published.front().state, SessionState::connecting);

    if (row.line) {
        bool found = false;
        for (const FakeLogLine& line : host.log.lines) {
            if (line.event == row.line->event && line.code == row.line->code) {
                found = true;
                EXPECT_EQ(line.win32, row.line->win32) << line.event;
                EXPECT_EQ(line.generation, 1);
            }
        }
        EXPECT_TRUE(found) << row.line->event << " " << row.line->code;
    }
    const std::vector<FakeLogLine> states = state_lines();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().event, "idle");
    EXPECT_EQ(states.back().code, ErrorCodeName(row.code));
    EXPECT_EQ(states.back().win32, row.state_win32);
    expect_clean();
    EXPECT_FALSE(host.files.ledger_text.has_value());
}

INSTANTIATE_TEST_SUITE_P(EveryRow, ConnectFailure, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

class ConnectFailureDetail : public CoreScenario {};

TEST_F(ConnectFailureDetail, RefusedLinksAreNeverResolved) {
    job.uri = "vless://@vpn.example.net:443";
    EXPECT_EQ(connect().code, ErrorCode::invalid_link);
    EXPECT_EQ(host.log.with_event("profile_parse_failed").size(), 1u);
    EXPECT_TRUE(host.resolver.asked.empty());
}

TEST_F(ConnectFailureDetail, ForeignTunnelStopsBeforeAnythingIsStarted) {
    AddForeignTunnel(host, 5);
    connect();
    EXPECT_EQ(host.process.pid, 0u);
    EXPECT_TRUE(host.resolver.asked.empty());
    EXPECT_EQ(host.files.saved.size(), 3u);  // admission, first publish, teardown start
}

TEST_F(ConnectFailureDetail, AServerAddressOfThisHostStopsBeforeAnythingIsStarted) {
    host.resolver.answers["vpn.example.net"] = "127.0.0.1";
    connect();
    EXPECT_EQ(host.process.pid, 0u);
    for (const SessionLedger& saved : host.files.saved) {
        EXPECT_FALSE(saved.config_written);
        EXPECT_FALSE(saved.pin_intended);
    }
    EXPECT_EQ(host.files.saved.size(), 3u);  // admission, first publish, teardown start
}

// Without the gateway and the own addresses only the fixed ranges are refused; a server that
// merely shares the uplink's network is a server.
TEST_F(ConnectFailureDetail, UnreadableUplinkChecksOnlyTheFixedRanges) {
    host.fail("list_local_ipv4", 5);
    host.resolver.answers["vpn.example.net"] = "192.168.1.20";
    EXPECT_NE(connect().code, ErrorCode::server_address_refused);
}

TEST_F(ConnectFailureDetail, AFailedLedgerSaveIsLoggedWithItsError) {
    host.fail("save_ledger", 32, 2, 1);  // a reader holds ledger.txt for two saves
    connect();
    const auto lines = host.log.with_event("ledger");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].code, "save_failed");
    EXPECT_EQ(lines[0].win32, 32u);
    EXPECT_EQ(lines[0].generation, 1);
}

TEST_F(ConnectFailureDetail, AFatalLineEndsTheWaitWithinASecond) {
    host.engine_script.creates_tun = false;
    host.engine_script.output = "FATAL[0000] start service: configure tun interface: Access is denied.\n";
    const unsigned long long started = host.clock;
    connect();
    EXPECT_EQ(host.clock - started, (1u + TunnelController::kFatalExitPolls) * 100u);
}

TEST_F(ConnectFailureDetail, EngineExitLineIsRedactedAndCut) {
    host.engine_script.exit_after_checks = 30;
    host.engine_script.creates_tun = false;
    host.engine_script.output = "uuid=6f1c2d3e-1111-2222-3333-444455556666 password=hunter2 " + std::string(400, 'x');
    connect();
    const auto lines = host.log.with_event("core_exited");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].code.find("hunter2"), std::string::npos);
    EXPECT_LE(lines[0].code.size(), 256u);
    // 30 polls ran before the engine was seen gone, each followed by one 100 ms sleep.
    EXPECT_EQ(host.sleeper.sleeps, 30);
}

TEST_F(ConnectFailureDetail, AdapterWaitIsTwentyFiveSecondsAndDiagnosed) {
    host.engine_script.creates_tun = false;
    host.engine_script.output = std::string(500, 'e');
    const unsigned long long started = host.clock;
    connect();
    EXPECT_GE(host.tun_polls, 250);
    EXPECT_EQ(host.clock - started, 250u * 100u);
    const auto pieces = host.log.with_event("tun_stderr");
    ASSERT_EQ(pieces.size(), 3u);  // 240 + 240 + 20 bytes
    EXPECT_EQ(pieces[0].code, "1 " + std::string(240, 'e'));
    EXPECT_EQ(pieces[2].code, "3 " + std::string(20, 'e'));
    ASSERT_EQ(host.log.with_event("tun_init_timeout").size(), 1u);
    ASSERT_EQ(host.log.with_event("tun_diag").size(), 1u);
    EXPECT_EQ(host.log.with_event("tun_diag")[0].code, "process_alive");
}

// The engine's line about a refused key may come just after the egress check failed: it is
// awaited for a second, no longer, and a cancel cuts the wait short.
struct LateVerdictRow {
    const char* name;
    int line_after_sleeps;  // -1: the line never comes
    bool cancel_on_first_sleep;
    ErrorCode expected;
    int sleeps;
};

class LateAuthVerdict : public CoreScenario, public ::testing::WithParamInterface<LateVerdictRow> {};

TEST_P(LateAuthVerdict, IsAwaitedBrieflyAfterAFailedCheck) {
    const LateVerdictRow row = GetParam();
    int verdict_sleeps = 0;
    host.egress_works = false;
    host.on_egress_probe = [this, row, &verdict_sleeps] {
        host.sleeper.sleeps = 0;
        host.sleeper.on_sleep = [this, row, &verdict_sleeps](int) {
            // Only the sleeps before the egress line belong to the wait; the teardown's follow.
            if (host.log.with_event("egress").empty()) verdict_sleeps += 1;
            if (host.sleeper.sleeps == row.line_after_sleeps) {
                host.engine_script.output = "ERROR connection: authentication failed, status code: 404";
            }
            if (row.cancel_on_first_sleep) cancel.store(true);
        };
    };
    const TunnelSnapshot result = connect();
    EXPECT_EQ(result.code, row.expected);
    EXPECT_EQ(result.cleanup_verified, true);
    EXPECT_EQ(host.log.with_event("egress").empty(), row.expected == ErrorCode::none);
    EXPECT_EQ(verdict_sleeps, row.sleeps);
}

INSTANTIATE_TEST_SUITE_P(Timings, LateAuthVerdict,
                         ::testing::Values(LateVerdictRow{"after_one_step", 1, false, ErrorCode::auth_rejected, 1},
                                           LateVerdictRow{"at_the_last_step", 10, false, ErrorCode::auth_rejected, 10},
                                           LateVerdictRow{"too_late", 11, false, ErrorCode::egress_timeout, 10},
                                           LateVerdictRow{"never", -1, false, ErrorCode::egress_timeout, 10},
                                           LateVerdictRow{"cancelled", -1, true, ErrorCode::none, 1}),
                         [](const ::testing::TestParamInfo<LateVerdictRow>& info) {
                             return std::string(info.param.name);
                         });

// A full 4096-byte output tail may begin inside a value whose key was dropped with the older bytes.
TEST_F(ConnectFailureDetail, DiagnosisWithholdsTheFirstLineOfAFullTail) {
    host.engine_script.creates_tun = false;
    const std::string head = "Pa55-cut-value\" end of that line\n";
    const std::string last = "\npassword=Hy2Secret";
    host.engine_script.output = head + std::string(4096 - head.size() - last.size(), 'e') + last;
    connect();
    const auto pieces = host.log.with_event("tun_stderr");
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces[0].code.rfind("1 *** ", 0), 0u) << pieces[0].code.substr(0, 40);
    for (const auto& piece : pieces) {
        EXPECT_EQ(piece.code.find("Pa55"), std::string::npos) << piece.code;
        EXPECT_EQ(piece.code.find("Hy2Secret"), std::string::npos) << piece.code;
    }
}

TEST_F(ConnectFailureDetail, DiagnosisNamesLeftoverOwnAdapters) {
    host.engine_script.creates_tun = false;
    FakeInterface& stale = host.add_interface("quorvandel", 7000, 55, false);
    stale.up = false;
    connect();
    EXPECT_TRUE(host.log.has("tun_adapter", "quorvandel,up=0,luid=7000,if=55"));
    expect_clean();
}

TEST_F(ConnectFailureDetail, JobFailureEndsTheProcessAndClearsThePid) {
    host.fail("assign_job", 5);
    connect();
    EXPECT_GE(host.engine.terminations, 1);
    EXPECT_FALSE(host.process.alive);
    bool pid_cleared = false;
    for (const SessionLedger& saved : host.files.saved) {
        if (saved.config_written && saved.pid == 0 && saved.phase == SessionState::connecting) pid_cleared = true;
    }
    EXPECT_TRUE(pid_cleared);
}

TEST_F(ConnectFailureDetail, ForeignTunnelWithEqualMetricIsNotAhead) {
    AddForeignTunnel(host, 25);
    EXPECT_EQ(connect().state, SessionState::connected);
}

}  // namespace
}  // namespace vantorel
