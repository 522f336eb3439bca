#include "broker/service/service_status_reporter.h"

#include <utility>

namespace vantorel {

void ServiceStatusReporter::start_reporting(Send send) {
    std::lock_guard<std::mutex> guard(mutex_);
    send_ = std::move(send);
    report_locked(StatusFor(ServicePhase::start));
}

void ServiceStatusReporter::report(const ServiceStatusRecord& record) {
    std::lock_guard<std::mutex> guard(mutex_);
    report_locked(record);
}

void ServiceStatusReporter::report_phase(ServicePhase phase, std::uint32_t exit_code) {
    ServiceStatusRecord record = StatusFor(phase);
    record.exit_code = exit_code;
    report(record);
}

void ServiceStatusReporter::report_current_again() {
    std::lock_guard<std::mutex> guard(mutex_);
    report_locked(RepeatedStatus(status_));
}

ServiceStatusRecord ServiceStatusReporter::current() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return status_;
}

void ServiceStatusReporter::report_locked(const ServiceStatusRecord& record) {
    if (stopped_reported_ || !send_) return;
    status_ = record;
    stopped_reported_ = record.current_state == service_state::stopped;
    send_(record);
}

}  // namespace vantorel
