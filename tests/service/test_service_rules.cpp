// Small rules of the service host: the status table, which controls act, the command line,
// the failure-log throttle, the controller's path, and the published service under a handler.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "broker/service/controller_path_rule.h"
#include "broker/service/pipe_client_rules.h"
#include "broker/service/program_arguments.h"
#include "broker/service/published_service.h"
#include "broker/service/repeat_counter.h"
#include "broker/service/service_status_table.h"
#include "broker/service/stop_progress.h"

namespace vantorel {
namespace {

struct StatusRow {
    ServicePhase phase;
    std::uint32_t state, controls, checkpoint, wait_hint;
};

TEST(ServiceStatus, EachPhaseReportsItsRow) {
    const StatusRow rows[] = {
        {ServicePhase::start, 2, 0, 1, 20000},
        {ServicePhase::ready, 4, 0x141, 0, 0},
        {ServicePhase::stop_requested, 3, 0, 1, 20000},
        {ServicePhase::finished, 1, 0x141, 0, 0},
    };
    for (const auto& row : rows) {
        const ServiceStatusRecord r = StatusFor(row.phase);
        SCOPED_TRACE(row.state);
        EXPECT_EQ(r.service_type, 0x10u);
        EXPECT_EQ(r.current_state, row.state);
        EXPECT_EQ(r.controls_accepted, row.controls);
        EXPECT_EQ(r.checkpoint, row.checkpoint);
        EXPECT_EQ(r.wait_hint, row.wait_hint);
        EXPECT_EQ(r.exit_code, 0u);
    }
}

TEST(ServiceStatus, OtherControlsRepeatTheCurrentState) {
    struct Row {
        std::uint32_t state, controls, checkpoint;
    };
    const Row rows[] = {{2, 0, 1}, {3, 0, 1}, {4, 0x141, 0}, {1, 0x141, 0}};
    for (const auto& row : rows) {
        const ServiceStatusRecord r = RepeatedStatus(row.state);
        SCOPED_TRACE(row.state);
        EXPECT_EQ(r.current_state, row.state);
        EXPECT_EQ(r.controls_accepted, row.controls);
        EXPECT_EQ(r.checkpoint, row.checkpoint);
        EXPECT_EQ(r.wait_hint, 0u);
        EXPECT_EQ(r.exit_code, 0u);
    }
}

TEST(ServiceStatus, ARepeatWhilePendingNeverMovesTheProgressBack) {
    struct Row {
        const char* name;
        ServiceStatusRecord current;
        std::uint32_t checkpoint, wait_hint, controls;
    };
    const Row rows[] = {
        {"stop requested", StatusFor(ServicePhase::stop_requested), 1, 20000, 0},
        {"stop in progress", StopProgressStatus(7), 7, 20000, 0},
        {"starting", StatusFor(ServicePhase::start), 1, 20000, 0},
        {"running", StatusFor(ServicePhase::ready), 0, 0, 0x141},
        {"stopped", StatusFor(ServicePhase::finished), 0, 0, 0x141},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ServiceStatusRecord repeated = RepeatedStatus(row.current);
        EXPECT_EQ(repeated.current_state, row.current.current_state);
        EXPECT_EQ(repeated.checkpoint, row.checkpoint);
        EXPECT_EQ(repeated.wait_hint, row.wait_hint);
        EXPECT_EQ(repeated.controls_accepted, row.controls);
    }
}

TEST(ServiceStatus, StopProgressIsStopPendingWithTheGivenCheckpoint) {
    const ServiceStatusRecord r = StopProgressStatus(5);
    EXPECT_EQ(r.current_state, service_state::stop_pending);
    EXPECT_EQ(r.checkpoint, 5u);
    EXPECT_EQ(r.wait_hint, kPendingWaitHintMs);
    EXPECT_EQ(r.controls_accepted, 0u);
}

TEST(ServiceStatus, APreshutdownTimeOutIsOnlyRaised) {
    struct Row {
        std::uint32_t configured;
        bool raise;
    };
    const Row rows[] = {{0, true}, {10000, true}, {29999, true}, {30000, false}, {180000, false}};
    for (const Row& row : rows) {
        EXPECT_EQ(PreshutdownNeedsRaise(row.configured), row.raise) << row.configured;
    }
}

TEST(StopProgress, ReportsRisingCheckpointsUntilDestroyed) {
    std::mutex mutex;
    std::condition_variable reported;
    std::vector<std::uint32_t> checkpoints;
    {
        StopProgress progress(
            [&](std::uint32_t checkpoint) {
                std::lock_guard<std::mutex> guard(mutex);
                checkpoints.push_back(checkpoint);
                reported.notify_all();
            },
            std::chrono::milliseconds(2));
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(reported.wait_for(lock, std::chrono::seconds(10), [&] { return checkpoints.size() >= 3; }));
    }
    std::vector<std::uint32_t> after_stop;
    {
        std::lock_guard<std::mutex> guard(mutex);
        after_stop = checkpoints;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(checkpoints, after_stop);  // nothing once destroyed
    ASSERT_GE(checkpoints.size(), 3u);
    for (std::size_t i = 0; i < checkpoints.size(); ++i) EXPECT_EQ(checkpoints[i], 2u + i);
}

TEST(StopProgress, AShortStopReportsNothing) {
    std::atomic<int> reports{0};
    {
        StopProgress progress([&](std::uint32_t) { reports.fetch_add(1); }, std::chrono::hours(1));
    }
    EXPECT_EQ(reports.load(), 0);
}

TEST(ServiceStatus, ControlsAreClassified) {
    struct Row {
        std::uint32_t control, event_type;
        ControlAction action;
    };
    const Row rows[] = {
        {1, 0, ControlAction::stop},             // stop
        {15, 0, ControlAction::stop},            // pre-shutdown
        {13, 4, ControlAction::suspend},         // power event: suspend
        {13, 7, ControlAction::report_current},  // power event: resume
        {13, 18, ControlAction::report_current},
        {4, 0, ControlAction::report_current},  // interrogate
        {5, 0, ControlAction::report_current},  // shutdown (not accepted, reported anyway)
        {4, 4, ControlAction::report_current},  // suspend's type on another control
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.control);
        EXPECT_EQ(ClassifyControl(row.control, row.event_type), row.action);
    }
}

TEST(ProgramArguments, OnlyAnExactSecondArgumentSelectsReconcile) {
    struct Row {
        std::vector<std::wstring> args;
        bool reconcile;
    };
    const Row rows[] = {
        {{L"VantorelBroker.exe", L"--reconcile"}, true},
        {{L"VantorelBroker.exe", L"--reconcile", L"extra"}, true},
        {{L"VantorelBroker.exe"}, false},
        {{}, false},
        {{L"VantorelBroker.exe", L"--Reconcile"}, false},
        {{L"VantorelBroker.exe", L"--RECONCILE"}, false},
        {{L"VantorelBroker.exe", L"x", L"--reconcile"}, false},
        {{L"VantorelBroker.exe", L"--reconcile "}, false},
        {{L"VantorelBroker.exe", L"-reconcile"}, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SelectsReconcileMode(row.args), row.reconcile) << row.args.size();
    }
}

TEST(ProgramArguments, DataIsRemovedOnlyWhenAReconcileAsks) {
    struct Row {
        std::vector<std::wstring> args;
        bool run;
        bool logs;
    };
    const Row rows[] = {
        {{L"VantorelBroker.exe", L"--reconcile"}, false, false},
        {{L"VantorelBroker.exe", L"--reconcile", L"--remove-data"}, true, false},
        {{L"VantorelBroker.exe", L"--reconcile", L"--remove-data", L"--remove-logs"}, true, true},
        {{L"VantorelBroker.exe", L"--reconcile", L"--remove-logs", L"--remove-data"}, true, true},
        {{L"VantorelBroker.exe", L"--reconcile", L"--remove-logs"}, false, false},
        {{L"VantorelBroker.exe", L"--remove-data", L"--reconcile"}, false, false},
        {{L"VantorelBroker.exe", L"--remove-data"}, false, false},
        {{L"VantorelBroker.exe", L"--reconcile", L"--REMOVE-DATA"}, false, false},
    };
    for (const auto& row : rows) {
        const DataRemoval removal = RequestedDataRemoval(row.args);
        EXPECT_EQ(removal.run, row.run) << row.args.size();
        EXPECT_EQ(removal.logs, row.logs) << row.args.size();
    }
}

TEST(RepeatCounter, LogsTheFirstAndEveryHundredth) {
    RepeatCounter counter;
    std::vector<unsigned long> logged;
    for (int i = 0; i < 250; ++i) {
        if (counter.note()) logged.push_back(counter.count());
    }
    EXPECT_EQ(logged, (std::vector<unsigned long>{1, 100, 200}));
    counter.clear();
    EXPECT_TRUE(counter.note());  // a new run of failures logs its first again
}

TEST(RepeatCounter, CreationRetryWaitsLongerFromTheNinthFailure) {
    EXPECT_EQ(CreationRetryDelayMs(1), 200);
    EXPECT_EQ(CreationRetryDelayMs(8), 200);
    EXPECT_EQ(CreationRetryDelayMs(9), 2000);
    EXPECT_EQ(CreationRetryDelayMs(100), 2000);
}

TEST(ControllerPathRule, AcceptsOnlyTheInstalledControllerOrTheOneBesideTheBroker) {
    const std::wstring own = L"D:\\Apps\\Vantorel";
    struct Row {
        std::wstring image;
        bool accepted;
    };
    const Row rows[] = {
        {L"C:\\Program Files\\Vantorel\\VantorelCtl.exe", true},
        {L"c:\\PROGRAM FILES\\vantorel\\vantorelctl.EXE", true},
        {L"D:\\Apps\\Vantorel\\VantorelCtl.exe", true},
        {L"d:\\apps\\VANTOREL\\vantorelctl.exe", true},
        {L"C:\\Users\\Public\\VantorelCtl.exe", false},
        {L"D:\\Apps\\Vantorel\\Other\\VantorelCtl.exe", false},
        {L"D:\\Apps\\Vantorel\\VantorelBroker.exe", false},
        {L"C:\\Program Files\\Vantorel\\VantorelCtl.exe.bak", false},
        {L"C:\\Program Files\\Vantorel\\VantorelCtl", false},
        {L"", false},
    };
    const PathComparison comparison = PortablePathComparison();
    for (const auto& row : rows) {
        EXPECT_EQ(IsControllerImagePath(row.image, own, comparison), row.accepted)
            << std::string(row.image.begin(), row.image.end());
    }
}

TEST(ControllerPathRule, ComparesNormalisedPaths) {
    // A normaliser that resolves "\..\" once, standing in for the system's full-path rules.
    PathComparison comparison = PortablePathComparison();
    comparison.normalise = [](const std::wstring& path) {
        const auto at = path.find(L"\\x\\..\\");
        return at == std::wstring::npos ? path : path.substr(0, at) + path.substr(at + 5);
    };
    EXPECT_TRUE(IsControllerImagePath(L"C:\\Program Files\\Vantorel\\x\\..\\VantorelCtl.exe", L"E:\\b", comparison));
    EXPECT_TRUE(IsControllerImagePath(L"E:\\b\\VantorelCtl.exe", L"E:\\b\\x\\..", comparison));
    EXPECT_FALSE(IsControllerImagePath(L"E:\\c\\VantorelCtl.exe", L"E:\\b", comparison));
}

TEST(ControllerPathRule, CaseFoldingIsAsciiOnly) {
    EXPECT_TRUE(AsciiEqualIgnoringCase(L"AbC", L"aBc"));
    EXPECT_FALSE(AsciiEqualIgnoringCase(L"abc", L"abcd"));
    EXPECT_FALSE(AsciiEqualIgnoringCase(L"a[c", L"a{c"));  // '[' and '{' differ by 0x20 but are not letters
}

TEST(PipeClientRules, OnlyABrokenInstanceIsClosedAfterAFailedConnect) {
    struct Row {
        std::uint32_t error;
        bool keep;
    };
    const Row rows[] = {
        {232, true},  // the client closed before the connect: listen again
        {109, true},  // broken pipe
        {233, true},  // no process on the other end
        {258, true},  // the stop event
        {995, true},  // cancelled
        {6, false},   // the handle itself is bad
        {1, false},  {87, false}, {0, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(KeepsInstanceAfterConnectFailure(row.error), row.keep) << row.error;
    }
}

TEST(PipeClientRules, AProcessStartedAfterTheConnectionIsNotTheClient) {
    constexpr std::uint64_t connected = 133'500'000'000'000'000ULL;
    struct Row {
        std::uint64_t created;
        bool accepted;
    };
    const Row rows[] = {
        {connected - 10'000'000, true},                      // a second earlier
        {connected - 1, true},           {connected, true},  // same 100 ns tick
        {connected + 1, false},                              // the id was reused after the connect
        {connected + 10'000'000, false}, {0, false},         // no creation time known
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ClientStartedBeforeConnect(row.created, connected), row.accepted) << row.created;
    }
}

TEST(PublishedService, UseSeesNothingBeforePublishAndAfterWithdraw) {
    PublishedService<int> published;
    int value = 7;
    int seen = 0;
    EXPECT_FALSE(published.use([&](int& v) { seen = v; }));
    published.publish(&value);
    EXPECT_TRUE(published.use([&](int& v) { seen = v; }));
    EXPECT_EQ(seen, 7);
    published.withdraw();
    EXPECT_FALSE(published.use([&](int&) { seen = -1; }));
    EXPECT_EQ(seen, 7);
}

TEST(PublishedService, WithdrawWaitsForAUseInProgress) {
    PublishedService<int> published;
    int value = 1;
    published.publish(&value);
    std::promise<void> inside;
    std::atomic<bool> release{false};
    std::atomic<bool> use_finished{false};
    std::thread handler([&] {
        published.use([&](int& v) {
            inside.set_value();
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            v = 2;
            use_finished.store(true);
        });
    });
    inside.get_future().wait();
    std::atomic<bool> withdrawn{false};
    std::thread service([&] {
        published.withdraw();
        // The object may be destroyed from here on: the use must be over.
        EXPECT_TRUE(use_finished.load());
        withdrawn.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(withdrawn.load());
    release.store(true);
    handler.join();
    service.join();
    EXPECT_TRUE(withdrawn.load());
    EXPECT_EQ(value, 2);
}

}  // namespace
}  // namespace vantorel
