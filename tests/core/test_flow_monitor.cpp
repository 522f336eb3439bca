// The flow monitor on its own with a clock of the test's, and driven through the network tick.

#include "broker/core/flow_monitor.h"
#include "tests/core/core_scenario.h"

namespace vantorel {
namespace {

FlowSample Sample(std::vector<FlowConnection> connections, std::uint64_t missing_ids = 0) {
    FlowSample sample;
    sample.connections = std::move(connections);
    sample.missing_ids = missing_ids;
    return sample;
}

// A probe that answers from a script (true: an empty sample, false: the API is unreachable).
class ScriptedProbe : public FlowProbe {
public:
    ScriptedProbe(std::vector<bool> answers, int& polls) : answers_(std::move(answers)), polls_(polls) {}
    bool poll(FlowSample& out) override {
        const std::size_t at = static_cast<std::size_t>(polls_++);
        out = Sample({MakeFlow("c1", "tcp", "proxy", 10, 10 + at)});
        return at < answers_.size() ? answers_[at] : answers_.back();
    }
    std::uint32_t last_error() const override { return 12029; }

private:
    std::vector<bool> answers_;
    int& polls_;
};

struct ClockRow {
    const char* name;
    std::vector<std::uint64_t> polls_at;  // FlowMonitor::poll at these clock readings
    std::uint64_t finish_at;              // then FlowMonitor::finish
    std::vector<bool> answers;
    int probe_polls;                // probe polls over all of it
    std::size_t rate_lines;         // "flow_rate" summaries
    std::size_t unreachable_lines;  // "flow api_unreachable"
};

void PrintTo(const ClockRow& row, std::ostream* out) { *out << row.name; }

class FlowMonitorClock : public ::testing::TestWithParam<ClockRow> {};

TEST_P(FlowMonitorClock, PollsSummariesAndTheLastReading) {
    const ClockRow& row = GetParam();
    FakeTunnelLog log;
    FlowMonitor monitor(log);
    int polls = 0;
    monitor.start(std::make_unique<ScriptedProbe>(row.answers, polls));
    for (std::uint64_t now : row.polls_at) monitor.poll(1, now);
    monitor.finish(1, row.finish_at);
    EXPECT_EQ(polls, row.probe_polls);
    EXPECT_EQ(log.with_event("flow_rate").size(), row.rate_lines);
    std::size_t unreachable = 0;
    for (const FakeLogLine& line : log.with_event("flow")) unreachable += line.code == "api_unreachable" ? 1 : 0;
    EXPECT_EQ(unreachable, row.unreachable_lines);
    EXPECT_EQ(log.with_event("flow_total").size(), row.answers.front() ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FlowMonitorClock,
    ::testing::Values(
        // 5 s between polls, to the millisecond; the first comes at once.
        ClockRow{"polls_five_seconds_apart", {1000, 5999, 6000, 10999, 11000}, 11001, {true}, 4, 1, 0},
        // The summary every 15 s from the first poll; finish reads once more whatever the interval.
        ClockRow{"summary_every_fifteen_seconds", {1000, 6000, 11000, 16000}, 16001, {true}, 5, 2, 0},
        // An API that stays away is named once, however many polls miss it.
        ClockRow{"unreachable_named_once", {1000, 6000, 11000}, 11001, {false}, 4, 0, 1}),
    [](const ::testing::TestParamInfo<ClockRow>& info) { return std::string(info.param.name); });

class FlowThroughWatch : public CoreScenario {
protected:
    void start_session() {
        controller->set_flow_probe_factory(MakeFakeFlowProbeFactory(host));
        connect_ok();
    }
    // Serves `sample` to the next poll only.
    void next(const FlowSample& sample) {
        host.flow_samples.resize(host.flow_polls);
        host.flow_samples.push_back(sample);
    }
    void next_failure() {
        host.flow_samples.resize(host.flow_polls);
        host.flow_samples.push_back(std::nullopt);
    }
    void tick_after(unsigned long long ms) {
        host.clock += ms;
        ASSERT_EQ(controller->watch_network(cancel).state, SessionState::connected);
    }
    std::vector<std::string> codes(const std::string& event) const {
        std::vector<std::string> found;
        for (const FakeLogLine& line : host.log.with_event(event)) found.push_back(line.code);
        return found;
    }
};

TEST_F(FlowThroughWatch, WithoutAProbeNothingIsPolledOrLogged) {
    connect_ok();
    for (int i = 0; i < 5; ++i) tick_after(6000);
    controller->stop();
    EXPECT_EQ(host.flow_polls, 0u);
    for (const char* event : {"flow", "flow_rate", "flow_summary", "flow_total", "flow_seen"}) {
        EXPECT_TRUE(host.log.with_event(event).empty()) << event;
    }
}

TEST_F(FlowThroughWatch, PollsAreAtLeastFiveSecondsApart) {
    start_session();
    tick_after(0);
    EXPECT_EQ(host.flow_polls, 1u);
    tick_after(2000);
    tick_after(2000);
    EXPECT_EQ(host.flow_polls, 1u);
    tick_after(2000);
    EXPECT_EQ(host.flow_polls, 2u);
}

TEST_F(FlowThroughWatch, BusyConnectionIsNamedOnceWhenItCrosses64KiB) {
    start_session();
    FlowConnection connection = MakeFlow("c1", "tcp", "proxy", 2048, 8192);
    connection.process = "browser.exe";
    next(Sample({connection}));
    tick_after(0);
    EXPECT_TRUE(host.log.with_event("flow_seen").empty());
    connection.download = 80 * 1024;
    next(Sample({connection}));
    tick_after(6000);
    EXPECT_EQ(codes("flow_seen"),
              std::vector<std::string>{"net=tcp chain=proxy dst=example.org:443 proc=browser.exe up=2048 dn=81920"});
    connection.download = 200 * 1024;
    next(Sample({connection}));
    tick_after(6000);
    EXPECT_EQ(host.log.with_event("flow_seen").size(), 1u);
}

TEST_F(FlowThroughWatch, StallArithmeticAcrossWindows) {
    start_session();
    const FlowConnection quiet = MakeFlow("s1", "tcp", "proxy", 500, 1000);
    next(Sample({quiet}));
    tick_after(0);  // first sight: the group is only marked seen; first summary
    EXPECT_EQ(codes("flow_rate"),
              std::vector<std::string>{"win_ms=5000 worst_quiet_ms=0 tcp:proxy=dn_kbps:0/up_kbps:0 stall_ms:0 "
                                       "stalls:0 quiet_ms:0 live:1"});
    for (int i = 0; i < 3; ++i) {
        next(Sample({quiet}));
        tick_after(6000);
    }
    ASSERT_EQ(codes("flow_rate").size(), 2u);
    EXPECT_EQ(codes("flow_rate")[1],
              "win_ms=18000 worst_quiet_ms=18000 tcp:proxy=dn_kbps:0/up_kbps:0 stall_ms:0 stalls:0 quiet_ms:18000 "
              "live:1");
    EXPECT_TRUE(host.log.with_event("flow_summary").empty());  // nothing grew yet

    FlowConnection moving = quiet;
    moving.download += 61440;
    moving.upload += 2048;
    next(Sample({moving}));  // traffic resumes: one finished stall of 18 s
    tick_after(6000);
    next(Sample({moving}));
    tick_after(6000);
    next(Sample({moving}));
    tick_after(6000);
    ASSERT_EQ(codes("flow_rate").size(), 3u);
    EXPECT_EQ(codes("flow_rate")[2],
              "win_ms=18000 worst_quiet_ms=18000 tcp:proxy=dn_kbps:3/up_kbps:0 stall_ms:18000 stalls:1 "
              "quiet_ms:12000 live:1");
    EXPECT_EQ(codes("flow_summary"), std::vector<std::string>{"tcp:proxy=dn:61440/up:2048"});
}

TEST_F(FlowThroughWatch, ClosedQuietGroupCountsOneStallThenLeaves) {
    start_session();
    const FlowConnection udp = MakeFlow("u1", "udp", "direct", 10, 10);
    const FlowConnection tcp = MakeFlow("t1", "tcp", "proxy", 10, 10);
    next(Sample({udp, tcp}));
    tick_after(0);
    next(Sample({udp, tcp}));
    tick_after(6000);  // both quiet 6000
    next(Sample({tcp}));
    tick_after(6000);  // udp closed: its stretch ends as a stall
    next(Sample({tcp}));
    tick_after(6000);  // summary
    const std::vector<std::string> rates = codes("flow_rate");
    ASSERT_EQ(rates.size(), 2u);
    EXPECT_EQ(rates[1],
              "win_ms=18000 worst_quiet_ms=18000 tcp:proxy=dn_kbps:0/up_kbps:0 stall_ms:0 stalls:0 quiet_ms:18000 "
              "live:1 udp:direct=dn_kbps:0/up_kbps:0 stall_ms:6000 stalls:1 quiet_ms:0 live:0");
    for (int i = 0; i < 3; ++i) {
        next(Sample({tcp}));
        tick_after(6000);
    }
    const std::vector<std::string> later = codes("flow_rate");
    ASSERT_EQ(later.size(), 3u);
    EXPECT_EQ(later[2].find("udp:direct"), std::string::npos);
}

TEST_F(FlowThroughWatch, SummaryWithoutGroupsWritesNoRateLineButResetsTheWindow) {
    start_session();
    next(Sample({}));
    tick_after(0);
    EXPECT_TRUE(host.log.with_event("flow_rate").empty());
    next(Sample({}));
    tick_after(6000);
    next(Sample({}));
    tick_after(6000);
    const FlowConnection fresh = MakeFlow("n1", "tcp", "proxy", 1, 1);
    next(Sample({fresh}));
    tick_after(6000);
    // The window restarted at the first summary: 3 polls of 6 s since then.
    EXPECT_EQ(codes("flow_rate"),
              std::vector<std::string>{"win_ms=18000 worst_quiet_ms=0 tcp:proxy=dn_kbps:0/up_kbps:0 stall_ms:0 "
                                       "stalls:0 quiet_ms:0 live:1"});
}

TEST_F(FlowThroughWatch, UnreachableApiIsLoggedOncePerOutage) {
    start_session();
    host.fail("poll", 12029, 3);
    tick_after(0);
    tick_after(6000);
    tick_after(6000);
    EXPECT_EQ(host.log.with_event("flow").size(), 2u);  // api_port and one api_unreachable
    ASSERT_TRUE(host.log.has("flow", "api_unreachable"));
    EXPECT_EQ(host.log.with_event("flow")[1].win32, 12029u);
    EXPECT_TRUE(host.log.with_event("flow_rate").empty());
    tick_after(6000);  // back
    host.fail("poll", 12002, 1);
    tick_after(6000);
    EXPECT_EQ(host.log.with_event("flow").size(), 3u);
}

TEST_F(FlowThroughWatch, MissingIdsAreReportedOncePerSession) {
    start_session();
    next(Sample({MakeFlow("", "tcp", "proxy", 1 << 20, 1 << 20)}, 1));
    tick_after(0);
    next(Sample({}, 2));
    tick_after(6000);
    EXPECT_EQ(codes("flow"), (std::vector<std::string>{"api_port=39201", "no_connection_id"}));
    EXPECT_TRUE(host.log.with_event("flow_seen").empty());
}

TEST_F(FlowThroughWatch, BackwardCountersAndChangedGroupsCountNoGrowth) {
    start_session();
    next(Sample({MakeFlow("a", "tcp", "proxy", 5000, 5000), MakeFlow("b", "tcp", "proxy", 100, 100)}));
    tick_after(0);
    next(Sample({MakeFlow("a", "tcp", "proxy", 4000, 9000), MakeFlow("b", "udp", "proxy", 900, 900)}));
    tick_after(6000);
    next(Sample({MakeFlow("a", "tcp", "proxy", 4100, 9000), MakeFlow("b", "udp", "proxy", 1000, 1000)}));
    tick_after(6000);
    controller->stop();
    EXPECT_EQ(codes("flow_total"), std::vector<std::string>{"tcp:proxy=dn:0/up:100 udp:proxy=dn:100/up:100"});
}

TEST_F(FlowThroughWatch, DuplicateIdsKeepTheFirstOccurrence) {
    start_session();
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 0), MakeFlow("a", "tcp", "proxy", 0, 999999)}));
    tick_after(0);
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 1000)}));
    tick_after(6000);
    controller->stop();
    EXPECT_EQ(codes("flow_total"), std::vector<std::string>{"tcp:proxy=dn:1000/up:0"});
}

TEST_F(FlowThroughWatch, DuplicateIdsAreEachComparedWithThePreviousPoll) {
    start_session();
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 1000)}));
    tick_after(0);
    // Both listings grow from the previous poll's 1000; the first listing (1500) is kept.
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 1500), MakeFlow("a", "tcp", "proxy", 0, 1800)}));
    tick_after(6000);
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 2000)}));
    tick_after(6000);
    controller->stop();
    EXPECT_EQ(codes("flow_total"), std::vector<std::string>{"tcp:proxy=dn:1800/up:0"});
}

TEST_F(FlowThroughWatch, ClosedConnectionsAreForgottenWithTheirBusyLine) {
    start_session();
    const FlowConnection busy = MakeFlow("c1", "tcp", "proxy", 0, 128 * 1024);
    const FlowConnection other = MakeFlow("c2", "tcp", "proxy", 0, 10);
    next(Sample({busy, other}));
    tick_after(0);
    EXPECT_EQ(host.log.with_event("flow_seen").size(), 1u);
    EXPECT_EQ(controller->flow_connections_tracked(), 2u);
    next(Sample({other}));
    tick_after(6000);
    EXPECT_EQ(controller->flow_connections_tracked(), 1u);
    // Back under the same id it is a new connection: named again, and no growth is counted.
    next(Sample({busy, other}));
    tick_after(6000);
    EXPECT_EQ(host.log.with_event("flow_seen").size(), 2u);
    controller->stop();
    EXPECT_TRUE(host.log.with_event("flow_total").empty());
}

TEST_F(FlowThroughWatch, TablesStayFlatOverAHundredThousandDistinctConnections) {
    start_session();
    constexpr int kPolls = 100;
    constexpr int kPerPoll = 1000;
    std::size_t most_tracked = 0;
    for (int poll = 0; poll < kPolls; ++poll) {
        std::vector<FlowConnection> connections;
        connections.reserve(kPerPoll);
        for (int i = 0; i < kPerPoll; ++i) {
            // Every poll lists only new connections, and one of them is busy.
            const std::uint64_t down = i == 0 ? 70000 : 100;
            connections.push_back(MakeFlow("conn-" + std::to_string(poll) + "-" + std::to_string(i),
                                           i % 2 ? "udp" : "tcp", "proxy", 0, down));
        }
        next(Sample(std::move(connections)));
        tick_after(poll == 0 ? 0 : 6000);
        most_tracked = std::max(most_tracked, controller->flow_connections_tracked());
    }
    EXPECT_EQ(host.flow_polls, static_cast<unsigned>(kPolls));
    EXPECT_EQ(most_tracked, static_cast<std::size_t>(kPerPoll));
    EXPECT_EQ(host.log.with_event("flow_seen").size(), static_cast<std::size_t>(kPolls));
    next(Sample({}));
    tick_after(6000);
    EXPECT_EQ(controller->flow_connections_tracked(), 0u);
}

TEST_F(FlowThroughWatch, SessionWhoseConnectionsNeverGrewWritesNoTotals) {
    start_session();
    const FlowConnection idle = MakeFlow("i", "tcp", "proxy", 10, 10);
    next(Sample({idle}));
    tick_after(0);
    next(Sample({idle}));
    tick_after(6000);
    controller->stop();
    EXPECT_TRUE(host.log.with_event("flow_total").empty());
    EXPECT_TRUE(host.log.with_event("flow_summary").empty());
}

TEST_F(FlowThroughWatch, NewSessionStartsWithEmptyTables) {
    start_session();
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 0)}));
    tick_after(0);
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 4096)}));
    tick_after(6000);
    controller->stop();
    connect_ok();
    next(Sample({MakeFlow("a", "tcp", "proxy", 0, 8192)}));
    tick_after(6000);
    controller->stop();
    // The second session saw "a" for the first time: no growth, no totals.
    EXPECT_EQ(codes("flow_total").size(), 1u);
    EXPECT_EQ(host.factory_calls.size(), 2u);
}

}  // namespace
}  // namespace vantorel
