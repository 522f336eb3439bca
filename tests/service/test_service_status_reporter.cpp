// The status reports of the service: one record, each change sent in the same section.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "broker/service/service_status_reporter.h"

namespace vantorel {
namespace {

struct SentRecords {
    std::mutex mutex;
    std::vector<ServiceStatusRecord> records;
    std::function<void(const ServiceStatusRecord&)> during_send;

    ServiceStatusReporter::Send sender() {
        return [this](const ServiceStatusRecord& record) {
            if (during_send) during_send(record);
            std::lock_guard<std::mutex> guard(mutex);
            records.push_back(record);
        };
    }
    std::vector<std::uint32_t> states() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::uint32_t> out;
        for (const auto& record : records) out.push_back(record.current_state);
        return out;
    }
};

TEST(ServiceStatusReporter, SendsNothingBeforeTheHandlerIsRegistered) {
    SentRecords sent;
    ServiceStatusReporter reporter;
    reporter.report_current_again();
    reporter.report_phase(ServicePhase::ready);
    reporter.start_reporting(sent.sender());
    EXPECT_EQ(sent.states(), std::vector<std::uint32_t>{service_state::start_pending});
}

TEST(ServiceStatusReporter, ReportsEachPhaseAndNothingAfterStopped) {
    SentRecords sent;
    ServiceStatusReporter reporter;
    reporter.start_reporting(sent.sender());
    reporter.report_current_again();
    reporter.report_phase(ServicePhase::ready);
    reporter.report_current_again();
    reporter.report_phase(ServicePhase::stop_requested);
    reporter.report_phase(ServicePhase::finished, 1054);
    // A control after the end must not turn the service back into a pending one.
    reporter.report_current_again();
    reporter.report_phase(ServicePhase::stop_requested);
    using namespace service_state;
    EXPECT_EQ(sent.states(),
              (std::vector<std::uint32_t>{start_pending, start_pending, running, running, stop_pending, stopped}));
    ASSERT_EQ(sent.records.size(), 6u);
    EXPECT_EQ(sent.records[1].controls_accepted, 0u);
    EXPECT_EQ(sent.records[3].controls_accepted, kControlsAccepted);
    EXPECT_EQ(sent.records[5].exit_code, 1054u);
    EXPECT_EQ(reporter.current().current_state, stopped);
}

// An interrogate at the moment start-up ends: the handler's repeat of start pending and the
// service thread's running must not cross, or the control manager is left at start pending
// with no control accepted.
TEST(ServiceStatusReporter, ARepeatOfTheCurrentStateCannotOvertakeALaterReport) {
    SentRecords sent;
    ServiceStatusReporter reporter;
    reporter.start_reporting(sent.sender());
    std::thread service;
    std::promise<void> running_sent;
    std::future<void> running_sent_future = running_sent.get_future();
    sent.during_send = [&](const ServiceStatusRecord& record) {
        if (record.current_state != service_state::start_pending || service.joinable()) return;
        // The handler is sending its repeat; the service thread reports running meanwhile.
        service = std::thread([&] {
            reporter.report_phase(ServicePhase::ready);
            running_sent.set_value();
        });
        // It cannot get through before this send ends; give it the chance to try.
        EXPECT_EQ(running_sent_future.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    };
    reporter.report_current_again();
    service.join();
    using namespace service_state;
    EXPECT_EQ(sent.states(), (std::vector<std::uint32_t>{start_pending, start_pending, running}));
    EXPECT_EQ(reporter.current().current_state, running);
    EXPECT_EQ(reporter.current().controls_accepted, kControlsAccepted);
}

}  // namespace
}  // namespace vantorel
