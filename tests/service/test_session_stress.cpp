// The dispatch and the worker under a storm: random commands on the pipe thread, suspends and
// then the service stop from a second thread, a tick after every idle millisecond. Whatever the
// interleaving, the rules of a session's life must hold.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "broker/service/service_core.h"
#include "tests/fakes/fake_host.h"
#include "tests/fakes/locked_tunnel_log.h"
#include "tests/service/dispatch_fixture.h"

namespace vantorel {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kRounds = 6;
constexpr int kCommandsPerRound = 240;
constexpr int kStopAfterCommands = 200;  // the second thread stops the service about here

// Each idle wait of the strand lasts a real millisecond at most and counts as the whole
// two seconds, so the tick runs whenever the worker has nothing to do.
StrandTiming FastTick() {
    auto virtual_now = std::make_shared<std::atomic<long long>>(0);
    StrandTiming timing;
    timing.now = [virtual_now] { return StrandClock::time_point(std::chrono::milliseconds(virtual_now->load())); };
    timing.wait = [virtual_now](std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                                std::chrono::milliseconds limit) {
        wake.wait_for(lock, 1ms);
        virtual_now->fetch_add(limit.count());
    };
    return timing;
}

// Yields until the pause is over: a sleep this short rounds to nothing on some hosts (Wine).
void PauseUpTo(std::mt19937& random, int microseconds) {
    const int pause = std::uniform_int_distribution<int>(0, microseconds)(random);
    if (pause <= microseconds / 2) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(pause);
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

struct RoundRecord {
    std::vector<json> documents;  // everything the client received, in order
    std::vector<long long> accepted_connects;
    std::map<long long, int> accepted_disconnects;  // by the generation the ack names
    int busy_refusals = 0;
    int reconnects = 0;  // a disconnect and a connect sent at once
    int reconnects_admitted = 0;
    std::vector<json> reconnects_refused;  // refused for any reason but the service stopping
    std::set<long long> suspended;         // generations a suspend may have aimed at
};

class SessionStorm {
public:
    explicit SessionStorm(unsigned seed)
        : seed_(seed),
          controller_(host_.routes, host_.engine, host_.resolver, host_.probe, host_.files, log_, host_.sleeper,
                      host_.firewall) {
        host_.engine_script.stop_takes_checks = 2;  // a teardown takes a few steps
        // Host calls give the other threads room to cut in.
        host_.sleeper.on_sleep = [](int) { std::this_thread::yield(); };
        ServiceCoreHooks hooks;
        hooks.on_ready = [this] { ready_.set_value(); };
        hooks.clear_log = [] { return std::vector<std::string>{}; };
        hooks.steady_ms = [] { return 1000000LL; };
        hooks.flow_probe_factory = MakeFakeFlowProbeFactory(host_);
        core_ = std::make_unique<ServiceCore>(controller_, log_, std::move(hooks), FastTick());
        core_->install_listeners();
    }

    RoundRecord run() {
        EXPECT_TRUE(core_->start_worker());
        EXPECT_EQ(ready_.get_future().wait_for(10s), std::future_status::ready);
        core_->outbox().attach();
        std::atomic<int> dispatched{0};
        std::thread second([this, &dispatched] {
            std::mt19937 random(seed_ * 7919u + 1u);
            while (dispatched.load() < kStopAfterCommands) {
                PauseUpTo(random, 600);
                if (std::uniform_int_distribution<int>(0, 3)(random) == 0) suspend();
            }
            core_->begin_stop();
        });
        std::mt19937 random(seed_);
        for (int i = 0; i < kCommandsPerRound; ++i) {
            send_random_command(random);
            dispatched.fetch_add(1);
            PauseUpTo(random, 300);
        }
        second.join();
        core_->join_worker();
        record_.suspended = suspended_;
        drain();
        // After the final stop nothing is admitted any more.
        core_->dispatch(ConnectDocument());
        drain();
        return record_;
    }

    TunnelController& controller() { return controller_; }
    FakeHost& host() { return host_; }

private:
    // The suspend aims its stop at the generation its snapshot shows, one of these.
    void suspend() {
        const long long before = controller_.snapshot().generation;
        core_->handle_suspend();
        const long long after = controller_.snapshot().generation;
        for (long long generation = before; generation <= after; ++generation) suspended_.insert(generation);
    }

    void send_random_command(std::mt19937& random) {
        const int pick = std::uniform_int_distribution<int>(0, 99)(random);
        if (pick < 10) {
            reconnect();
        } else if (pick < 35) {
            core_->dispatch(ConnectDocument());
        } else if (pick < 55) {
            core_->dispatch(DisconnectDocument(0));
        } else if (pick < 65) {
            const long long last = record_.accepted_connects.empty() ? 0 : record_.accepted_connects.back();
            core_->dispatch(DisconnectDocument(static_cast<unsigned long long>(last)));
        } else if (pick < 85) {
            if (last_tun_ready_ > 0) {
                const bool ok = std::uniform_int_distribution<int>(0, 3)(random) != 0;
                core_->dispatch(ProveDocument(static_cast<unsigned long long>(last_tun_ready_), ok ? "ok" : "fail"));
            }
        }
        drain();
    }

    // What a user interface does to reconnect: the connect waits for the disconnect's stop.
    void reconnect() {
        core_->dispatch(DisconnectDocument(0));
        drain();
        core_->dispatch(ConnectDocument());
        const std::size_t before = record_.documents.size();
        drain();
        record_.reconnects += 1;
        for (std::size_t i = before; i < record_.documents.size(); ++i) {
            const json& d = record_.documents[i];
            if (d["event"] != "ack" || d["command"] != "connect") continue;
            if (d["accepted"] == true) {
                record_.reconnects_admitted += 1;
            } else if (d["code"] != "service_stopping") {
                record_.reconnects_refused.push_back(d);
            }
        }
    }

    void drain() {
        std::string document;
        while (core_->outbox().take_front(document)) {
            json parsed = json::parse(document);
            if (parsed["event"] == "tun_ready") last_tun_ready_ = parsed["generation"].get<long long>();
            if (parsed["event"] == "ack") note_ack(parsed);
            record_.documents.push_back(std::move(parsed));
        }
    }

    void note_ack(const json& ack) {
        const long long generation = ack["generation"].get<long long>();
        if (ack["command"] == "connect" && ack["accepted"] == true) record_.accepted_connects.push_back(generation);
        if (ack["command"] == "disconnect" && ack["accepted"] == true) record_.accepted_disconnects[generation] += 1;
        if (ack["command"] == "connect" && ack["accepted"] == false) {
            // No teardown fails or overruns here: a connect is refused only beside a live
            // session or at the service stop.
            EXPECT_TRUE(ack["code"] == "busy" || ack["code"] == "service_stopping") << ack.dump();
            if (ack["code"] == "busy") record_.busy_refusals += 1;
        }
    }

    unsigned seed_;
    FakeHost host_;
    LockedTunnelLog log_;
    TunnelController controller_;
    std::promise<void> ready_;
    std::unique_ptr<ServiceCore> core_;
    RoundRecord record_;
    long long last_tun_ready_ = 0;
    std::set<long long> suspended_;  // second thread only, read after it is joined
};

struct SessionView {
    bool ran = false;  // run_connect published its first state
    int idle_events = 0;
    bool state_after_idle = false;  // a live state published after an idle of the same session
};

std::map<long long, SessionView> ViewSessions(const RoundRecord& record) {
    std::map<long long, SessionView> sessions;
    for (const json& d : record.documents) {
        if (d["event"] != "state") continue;
        SessionView& view = sessions[d["generation"].get<long long>()];
        if (d["state"] == "idle") {
            view.idle_events += 1;
        } else if (view.idle_events > 0) {
            view.state_after_idle = true;
        }
        if (d["state"] == "connecting") view.ran = true;
    }
    return sessions;
}

TEST(SessionStress, EveryAcceptedConnectRunsOrIsEndedOnceAndNothingOutlivesTheFinalStop) {
    int total_accepted = 0;
    int total_busy = 0;
    int total_reconnects = 0;
    int total_reconnects_admitted = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        SessionStorm storm(1000u + static_cast<unsigned>(round));
        const RoundRecord record = storm.run();
        total_accepted += static_cast<int>(record.accepted_connects.size());
        total_busy += record.busy_refusals;
        total_reconnects += record.reconnects;
        total_reconnects_admitted += record.reconnects_admitted;
        // A reconnect waits for the disconnect's teardown and is then admitted.
        for (const json& refused : record.reconnects_refused) ADD_FAILURE() << "reconnect refused: " << refused.dump();

        // An admitted connect's ack comes after the last event of every earlier session.
        long long admitted = 0;
        for (const json& d : record.documents) {
            if (d["event"] == "ack" && d["command"] == "connect" && d["accepted"] == true) {
                admitted = d["generation"].get<long long>();
            } else if (d["event"] == "state") {
                EXPECT_GE(d["generation"].get<long long>(), admitted) << d.dump();
            }
        }

        // No event ever shows a session that is connecting as cleaned up.
        for (const json& d : record.documents) {
            if (d["event"] == "state" && d["state"] == "connecting") {
                EXPECT_EQ(d["cleanup_verified"], false) << d.dump();
            }
        }

        // Accepted connects open consecutive generations.
        for (std::size_t i = 1; i < record.accepted_connects.size(); ++i) {
            EXPECT_EQ(record.accepted_connects[i], record.accepted_connects[i - 1] + 1);
        }

        const auto sessions = ViewSessions(record);
        const long long last_generation = record.accepted_connects.empty() ? 0 : record.accepted_connects.back();
        for (long long generation : record.accepted_connects) {
            SCOPED_TRACE("generation " + std::to_string(generation));
            const auto found = sessions.find(generation);
            ASSERT_NE(found, sessions.end());
            const SessionView& view = found->second;
            // It ran, or a stop aimed at it ended it before its task could run: a suspend that
            // came between its admission and the post of its task, the final stop, or a
            // disconnect whose cancel a tick already under way saw first.
            const bool disconnected = record.accepted_disconnects.count(generation) != 0;
            EXPECT_TRUE(view.ran || disconnected || record.suspended.count(generation) != 0 ||
                        generation == last_generation);
            EXPECT_GE(view.idle_events, 1);
            EXPECT_FALSE(view.state_after_idle);
            // One idle ends the session; only a disconnect sent after that end (while idle) and
            // the final stop may repeat it. A suspend or a disconnect of a live session adds none.
            const auto disconnects = record.accepted_disconnects.find(generation);
            const int allowed = 1 + (disconnects == record.accepted_disconnects.end() ? 0 : disconnects->second) +
                                (generation == last_generation ? 1 : 0);
            EXPECT_LE(view.idle_events, allowed);
        }

        // The final stop leaves an idle, verified session and no ledger behind.
        const TunnelSnapshot last = storm.controller().snapshot();
        EXPECT_EQ(last.state, SessionState::idle);
        EXPECT_TRUE(last.cleanup_verified);
        EXPECT_GE(last.generation, last_generation);
        EXPECT_FALSE(storm.host().files.ledger_text.has_value());
        std::string why;
        EXPECT_TRUE(storm.host().clean(why)) << why;
        ASSERT_FALSE(record.documents.empty());
        const json& refused = record.documents.back();
        EXPECT_EQ(refused["event"], "ack");
        EXPECT_EQ(refused["accepted"], false);
        EXPECT_EQ(refused["code"], "service_stopping");
    }
    EXPECT_GT(total_reconnects_admitted, total_reconnects / 2);
    // The storm really ran sessions and really met refusals (about 30 sessions a round here).
    EXPECT_GE(total_accepted, kRounds * 2);
    EXPECT_GT(total_busy, 0);
}

}  // namespace
}  // namespace vantorel
