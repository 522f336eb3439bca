#pragma once
// The one status record the service reports to the control manager, changed by the service
// thread and by the control handler. Every change and its report happen under one lock, so a
// handler repeating the current state can never send a state that another report has already
// replaced (a start-pending sent after running would leave stop refused).

#include <cstdint>
#include <functional>
#include <mutex>

#include "broker/service/service_status_table.h"

namespace vantorel {

class ServiceStatusReporter {
public:
    // Hands a record to the control manager. Called with the lock held.
    using Send = std::function<void(const ServiceStatusRecord&)>;

    // Once the handler is registered: installs the sender and reports start pending in the same
    // section, so a control that comes first cannot report the initial record. Nothing is sent
    // before this.
    void start_reporting(Send send);
    // Ignored once stopped has been reported: a late control must not revive the service.
    void report(const ServiceStatusRecord& record);
    void report_phase(ServicePhase phase, std::uint32_t exit_code = 0);
    // What any other control reports: the current state again, read and sent together.
    void report_current_again();
    ServiceStatusRecord current() const;

private:
    void report_locked(const ServiceStatusRecord& record);

    mutable std::mutex mutex_;
    Send send_;
    ServiceStatusRecord status_;
    bool stopped_reported_ = false;
};

}  // namespace vantorel
