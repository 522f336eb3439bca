// What the log says when the TUN adapter did not appear: the engine's state and output, the
// adapters present, and the classified reason.

#include "broker/core/connect_sequence.h"
#include "broker/core/tunnel_controller.h"
#include "broker/engine/output_analysis.h"

namespace vantorel {

namespace {

constexpr std::size_t kDiagnosisPieceBytes = 240;

std::string AdapterDiagnosisText(const AdapterInfo& adapter) {
    std::string name = adapter.name.empty() ? std::string("-") : adapter.name;
    for (char& c : name) {
        if (c == ' ' || c == '\n' || c == '\r' || c == ',') c = '_';
    }
    return name + ",up=" + (adapter.up ? "1" : "0") + ",luid=" + std::to_string(adapter.luid) +
           ",if=" + std::to_string(adapter.index);
}

}  // namespace

void ConnectSequence::diagnose_tun_timeout() {
    const long long gen = generation();
    const bool alive = c_.engine_.is_running();
    const std::uint32_t exit_status = alive ? 0 : c_.engine_.exit_code();
    std::string text = RedactSecrets(c_.engine_.output());
    std::vector<AdapterInfo> adapters;
    const bool listed = c_.routes_.list_own_adapters(adapters);
    const std::uint32_t list_error = listed ? 0 : c_.routes_.last_error();

    c_.log_.write(gen, "tun_diag", alive ? "process_alive" : "process_died", exit_status);
    for (std::size_t offset = 0, piece = 1; offset < text.size(); offset += kDiagnosisPieceBytes, ++piece) {
        c_.log_.write(gen, "tun_stderr", std::to_string(piece) + " " + text.substr(offset, kDiagnosisPieceBytes),
                      exit_status);
    }
    if (!listed) {
        c_.log_.write(gen, "tun_adapter", "list_failed", list_error);
    } else if (adapters.empty()) {
        c_.log_.write(gen, "tun_adapter", "none", 0);
    } else {
        for (const AdapterInfo& adapter : adapters) {
            c_.log_.write(gen, "tun_adapter", AdapterDiagnosisText(adapter), adapter.up ? 1 : 0);
        }
    }

    TunDiagnosis diagnosis;
    diagnosis.process_alive = alive;
    diagnosis.exit_status = exit_status;
    diagnosis.output = text;
    diagnosis.adapters_listed = listed;
    diagnosis.list_error = list_error;
    diagnosis.adapters = adapters;
    const TunFailure failure = ClassifyTunFailure(diagnosis);
    c_.log_.write(gen, "tun_init_timeout", failure.reason, failure.number);
}

}  // namespace vantorel
