#pragma once
// One application's use of Velmora with an event loop of another library on this thread:
// presence kept by initUser, messages polled by receiveMessages, work posted from another
// thread, all against the loopback service and without RunLoop::run(). Each adapter test
// attaches the loop, starts this, runs its library's loop until `finished` and checks.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <velmora/velmora.hpp>

#include "loop/timers.hpp"
#include "support/test_server.hpp"

namespace velmora::testing {

class AdapterScenario {
public:
    static constexpr const char* kStatusPath = "/corvane.asmx/refreshStatus";
    static constexpr const char* kMessagesPath = "/corvane.asmx/receiveMessage";
    // Far beyond what the scenario takes even under a sanitizer on a loaded machine.
    static constexpr std::chrono::seconds kDeadline{60};

    explicit AdapterScenario(TestServer& server) : server_(server) {
        server.script(kStatusPath, {.body = R"({"d":""})"});
        server.script(kMessagesPath, {.body = R"({"d":"ann|hello\u00a7bob|hi"})"});
        client_ = Velmora::create({server.origin(), server.caFile(), 20.0});
        client_->setStatusInterval(0.05);
        client_->setTimeInterval(0.05);
    }
    ~AdapterScenario() {
        if (poster_.joinable()) poster_.join();
        stop();
    }

    // Starts the timers on the calling thread's RunLoop. `bringHome` wraps the message
    // completion so that it runs on the loop's thread; `finished` runs there once, when
    // everything has been seen, or when the loop's own deadline timer calls `giveUp()`.
    template <class BringHome>
    void start(BringHome bringHome, std::function<void()> finished) {
        finished_ = std::move(finished);
        statusBase_ = countOf(kStatusPath);
        client_->initUser("team", "app", "ann", 1);
        auto state = state_;
        client_->receiveMessages("ann", bringHome([state](const JsonValue& messages) {
            state->note(messages.is_object() && messages.value("ann", "") == "hello");
        }));
        // An outcome member's `done` brought home the same way.
        client_->refreshStatus("team", "app", 1, "bob", "online", false, false,
                               bringHome([state](Result<StringMap> outcome) {
                                   state->note(outcome.has_value(), &state->outcomes);
                               }));
        // A timer of the same kind as the client's, to see on which thread ticks run.
        detail::scheduleRepeating(0.02, [this] { probe(); }, probeTimers_);
        poster_ = std::thread([state, &loop = RunLoop::current()] {
            for (int i = 0; i < 3; ++i) {
                loop.post([state] { state->note(true, &state->posted); });
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }

    void giveUp() { finish(); }

    // Ends the timers: afterwards the RunLoop has nothing scheduled.
    void stop() {
        client_->stopTimers();
        probeTimers_->stopAll();
    }

    void expectEverythingSeenOnThisThread() const {
        const auto self = std::this_thread::get_id();
        std::lock_guard lock(state_->mutex);
        EXPECT_TRUE(done_) << "the loop ended before everything was seen";
        EXPECT_GE(state_->messages, kEnough);
        EXPECT_EQ(state_->posted, 3);
        EXPECT_EQ(state_->outcomes, 1);
        EXPECT_EQ(state_->wrong, 0) << "a completion brought the wrong messages";
        EXPECT_GE(ticks_, kEnough);
        EXPECT_GE(countOf(kStatusPath) - statusBase_, static_cast<std::size_t>(kEnough)) << "presence ticks";
        for (const auto& id : state_->threads) EXPECT_EQ(id, self);
        EXPECT_EQ(RunLoop::current().timeUntilNextTick(), std::nullopt) << "timers left after stopping";
    }

    Velmora& client() { return *client_; }

private:
    static constexpr int kEnough = 3;

    struct State {
        void note(bool right, int* counter = nullptr) {
            std::lock_guard lock(mutex);
            ++*(counter ? counter : &messages);
            if (!right) ++wrong;
            threads.push_back(std::this_thread::get_id());
        }
        mutable std::mutex mutex;
        int messages = 0, posted = 0, outcomes = 0, wrong = 0;
        std::vector<std::thread::id> threads;
    };

    std::size_t countOf(const char* path) const {
        std::size_t n = 0;
        for (const auto& r : server_.requests()) n += r.path == path ? 1 : 0;
        return n;
    }

    void probe() {
        ++ticks_;
        {
            std::lock_guard lock(state_->mutex);
            state_->threads.push_back(std::this_thread::get_id());
            if (state_->messages < kEnough || state_->posted < 3 || state_->outcomes < 1) return;
        }
        if (ticks_ >= kEnough && countOf(kStatusPath) - statusBase_ >= static_cast<std::size_t>(kEnough)) {
            done_ = true;
            finish();
        }
    }

    void finish() {
        if (!finished_) return;
        stop();
        std::exchange(finished_, nullptr)();
    }

    TestServer& server_;
    std::shared_ptr<Velmora> client_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::shared_ptr<detail::TimerRegistry> probeTimers_ = std::make_shared<detail::TimerRegistry>();
    std::function<void()> finished_;
    std::thread poster_;
    std::size_t statusBase_ = 0;
    int ticks_ = 0;
    bool done_ = false;
};

}  // namespace velmora::testing
