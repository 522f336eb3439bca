#pragma once
// Remembers which session the controller has already proven, so each generation is checked
// at most once whatever the verdict.

#include <optional>
#include <string>

namespace vantorel {

class ProofTracker {
public:
    // Looks at one event payload. An idle state event forgets the last proof; a tun_ready for a
    // generation above 0 and above the last proven one returns that generation to prove.
    std::optional<long long> on_event(const std::string& payload);
    // Called once the prove command for `generation` has reached the pipe.
    void mark_proven(long long generation) { last_proven_ = generation; }
    long long last_proven() const { return last_proven_; }

private:
    long long last_proven_ = 0;
};

}  // namespace vantorel
