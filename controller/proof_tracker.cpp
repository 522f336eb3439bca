#include "controller/proof_tracker.h"

#include "controller/relay_rules.h"

namespace vantorel {

std::optional<long long> ProofTracker::on_event(const std::string& payload) {
    if (IsIdleStateEvent(payload)) last_proven_ = 0;
    if (!IsTunReadyEvent(payload)) return std::nullopt;
    const long long generation = ReadTunReadyGeneration(payload);
    if (generation > 0 && generation > last_proven_) return generation;
    return std::nullopt;
}

}  // namespace vantorel
