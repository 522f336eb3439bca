#include "controller/session_relay.h"

#include <algorithm>
#include <string>

#include "controller/controller_exit_codes.h"
#include "controller/proof_tracker.h"
#include "controller/relay_rules.h"
#include "protocol/commands.h"
#include "protocol/events.h"
#include "protocol/frames.h"

namespace vantorel {
namespace {

class SessionRelay {
public:
    SessionRelay(BrokerPipe& pipe, const SessionIo& io)
        : pipe_(pipe),
          out_(*io.out),
          prove_(io.prove),
          input_(std::make_shared<RelayInput>()),
          wake_(io.wake ? io.wake : std::make_shared<LocalWakeSignal>()) {
        input_->wake = wake_;
    }

    int run(std::shared_ptr<LineSource> source) {
        // Without a reader no line can ever come: the input counts as ended.
        if (!StdinReader::start(input_, std::move(source))) input_->close();
        while (!end_after_pass_ && InputPending()) {
            bool bytes_waited = false;
            if (!ReceiveEvents(bytes_waited)) break;
            bool line_taken = false;
            if (!ForwardOneLine(line_taken)) break;
            // Idle: sleep until the broker sends or the reader queues a line or ends, with no
            // time-out, so an open session costs nothing while nothing happens.
            if (!line_taken && !bytes_waited && !input_->has_lines() && input_->open.load()) {
                pipe_.wait_for_bytes_or(*wake_);
            }
        }
        out_.print(BrokerClosedDocument());
        pipe_.close();
        return kExitOk;
    }

private:
    // Lines read before the end of input are still forwarded: a user interface that writes a
    // command and closes its end at once must not lose the command.
    bool InputPending() { return input_->open.load() || input_->has_lines(); }

    // False when the pipe is gone; sets end_after_pass_ for a bad frame or a failed proof write.
    bool ReceiveEvents(bool& bytes_waited) {
        std::size_t available = 0;
        if (!pipe_.peek(available)) return false;
        bytes_waited = available > 0;
        if (!bytes_waited) return true;
        if (!pipe_.read(std::min(available, kPipeReadChunk), buffer_)) return false;
        std::string payload;
        std::string error;
        while (ExtractFrame(buffer_, payload, error)) {
            if (!HandleEvent(payload)) return true;
        }
        if (!error.empty()) end_after_pass_ = true;
        return true;
    }

    bool HandleEvent(const std::string& payload) {
        out_.print(payload);
        const std::optional<long long> generation = tracker_.on_event(payload);
        if (!generation) return true;
        const bool passed = prove_ ? prove_() : false;
        if (!WriteFrame(pipe_, WriteProveCommand(*generation, passed))) {
            end_after_pass_ = true;
            return false;
        }
        tracker_.mark_proven(*generation);
        return true;
    }

    // False when a forward failed, which ends the relay at once.
    bool ForwardOneLine(bool& line_taken) {
        std::string line;
        line_taken = input_->take_line(line);
        if (!line_taken) return true;
        const LineDecision decision = DecideInputLine(line);
        if (!decision.forward) {
            out_.print(ClientErrorDocument(decision.client_error_code));
            return true;
        }
        if (WriteFrame(pipe_, line)) return true;
        out_.print(ClientErrorDocument("frame"));
        return false;
    }

    BrokerPipe& pipe_;
    DocumentSink& out_;
    const std::function<bool()>& prove_;
    std::shared_ptr<RelayInput> input_;
    std::shared_ptr<WakeSignal> wake_;
    std::string buffer_;
    ProofTracker tracker_;
    bool end_after_pass_ = false;
};

}  // namespace

int RunSessionOver(BrokerPipe& pipe, const SessionIo& io) {
    SessionRelay relay(pipe, io);
    return relay.run(io.input);
}

}  // namespace vantorel
