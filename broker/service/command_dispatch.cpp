#include "broker/service/command_dispatch.h"

#include <utility>

#include "protocol/codes.h"
#include "protocol/events.h"

namespace vantorel {
namespace {

constexpr std::size_t kMaxLoggedCommandName = 64;

bool IsLoggableByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-';
}

ConnectJob JobFrom(const BrokerCommand& cmd) {
    ConnectJob job;
    job.uri = cmd.uri;
    job.direct_domains = cmd.direct_domains;
    job.force_proxy_domains = cmd.force_proxy_domains;
    job.udp_direct = cmd.udp_direct;
    return job;
}

}  // namespace

std::string ClearLogResultText(const std::vector<std::string>& remaining) {
    if (remaining.empty()) return "cleared";
    std::string text = "blocked";
    for (const auto& name : remaining) {
        text += ' ';
        text += name;
    }
    return text;
}

bool SameGeneration(std::uint64_t command_generation, long long current) {
    return current >= 0 && command_generation == static_cast<std::uint64_t>(current);
}

std::string LoggableCommandName(const std::string& name) {
    std::string out;
    const std::size_t n = name.size() < kMaxLoggedCommandName ? name.size() : kMaxLoggedCommandName;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        out += IsLoggableByte(c) ? static_cast<char>(c) : '?';
    }
    return out;
}

CommandDispatch::CommandDispatch(DispatchContext context) : ctx_(std::move(context)) {}

void CommandDispatch::refuse(const std::string& command, long long generation, const std::string& code,
                             const std::string& message) {
    ctx_.reply(WriteAckEvent(command, false, generation, code, message));
}

void CommandDispatch::dispatch(const std::string& payload) {
    BrokerCommand cmd;
    std::string error;
    if (!ParseBrokerCommand(payload, cmd, error)) {
        ctx_.log.write(0, "frame", "protocol", 0);
        refuse("connect", ctx_.controller.snapshot().generation, ErrorCodeName(ErrorCode::protocol),
               MessageForCode(ErrorCode::protocol));
        return;
    }
    const TunnelSnapshot snapshot = ctx_.controller.snapshot();
    if (cmd.protocol_version != kProtocolVersion) {
        refuse(cmd.command, snapshot.generation, ErrorCodeName(ErrorCode::protocol),
               MessageForCode(ErrorCode::protocol));
        return;
    }
    if (cmd.command == "hello") {
        answer_hello(snapshot);
        return;
    }
    if (cmd.command == "clear_log") {
        answer_clear_log(snapshot);
        return;
    }
    ctx_.log.write(snapshot.generation, LoggableCommandName(cmd.command), "rx", 0);
    if (cmd.command == "prove") {
        answer_prove(cmd, snapshot);
    } else if (cmd.command == "disconnect") {
        answer_disconnect(cmd, snapshot);
    } else if (cmd.command == "connect") {
        answer_connect(cmd, snapshot);
    }
}

void CommandDispatch::answer_hello(const TunnelSnapshot& snapshot) {
    const long long now = ctx_.steady_ms();
    if (!last_hello_log_ms_ || now - *last_hello_log_ms_ >= kHelloLogIntervalMs) {
        last_hello_log_ms_ = now;
        ctx_.log.write(snapshot.generation, "hello", "rx", 0);
    }
    ctx_.reply(WriteStateEvent(snapshot));
}

void CommandDispatch::answer_clear_log(const TunnelSnapshot& snapshot) {
    const std::vector<std::string> remaining = ctx_.clear_log();
    const std::string result = ClearLogResultText(remaining);
    ctx_.log.write(snapshot.generation, "logs", result, 0);
    ctx_.reply(WriteAckEvent("clear_log", remaining.empty(), snapshot.generation, result, ""));
}

void CommandDispatch::answer_prove(const BrokerCommand& cmd, const TunnelSnapshot& snapshot) {
    if (!SameGeneration(cmd.generation, snapshot.generation) || snapshot.state != SessionState::connecting) {
        refuse("prove", snapshot.generation, "generation", "");
        return;
    }
    ctx_.controller.record_proof(cmd.message == "ok", snapshot.generation);
    ctx_.reply(WriteAckEvent("prove", true, snapshot.generation, "", ""));
}

void CommandDispatch::answer_disconnect(const BrokerCommand& cmd, const TunnelSnapshot& snapshot) {
    if (cmd.generation != 0 && !SameGeneration(cmd.generation, snapshot.generation)) {
        refuse("disconnect", snapshot.generation, "generation", "");
        return;
    }
    ctx_.cancel.store(true);
    // Aimed at the session this snapshot shows: a connect admitted after this command must not
    // be torn down by it. A refused post means the service is stopping, and its final stop ends
    // the session anyway. A connect that follows waits until this stop has run.
    TunnelController& controller = ctx_.controller;
    const StopTarget target = StopTargetOf(snapshot);
    ctx_.post([&controller, target, queued = controller.queue_stop()] { controller.stop(target); });
    ctx_.reply(WriteAckEvent("disconnect", true, snapshot.generation, "", ""));
}

bool CommandDispatch::stopping() const { return ctx_.stopping && ctx_.stopping(); }

void CommandDispatch::answer_connect(const BrokerCommand& cmd, const TunnelSnapshot& snapshot) {
    if (stopping()) {
        refuse("connect", snapshot.generation, ErrorCodeName(ErrorCode::service_stopping),
               MessageForCode(ErrorCode::service_stopping));
        return;
    }
    TunnelController& controller = ctx_.controller;
    std::atomic<bool>& cancel = ctx_.cancel;
    AdmissionRequest request;
    request.give_up = [this] { return stopping(); };
    // Cleared only for a connect that is admitted: a refused one (or one that waited for a
    // disconnect) must not undo the cancel of the session before it.
    request.start = [this, &controller, &cancel, &cmd] {
        cancel.store(false);
        const bool posted =
            ctx_.post([&controller, &cancel, job = JobFrom(cmd)] { controller.run_connect(job, cancel); });
        // A strand that takes no more tasks is stopping: cancel goes up again.
        if (!posted) cancel.store(true);
        return posted;
    };
    const ConnectAdmission admission = controller.begin_connect(request);
    // A service stop that raced with this connect may have raised cancel before it was cleared
    // above; raise it again on every path, so nothing runs in full while the service stops.
    if (stopping()) cancel.store(true);
    const long long generation = admission.snapshot.generation;
    if (!admission.accepted) {
        refuse("connect", generation, ErrorCodeName(admission.snapshot.code), admission.snapshot.message);
        return;
    }
    if (cmd.direct_domains_truncated) ctx_.log.write(generation, "connect", "direct_domains_truncated", 0);
    ctx_.reply(WriteAckEvent("connect", true, generation, "", ""));
}

}  // namespace vantorel
