#pragma once
// Waiting for one non-blocking call of the library.
//
// A completion is called only when a readable reply arrived; when the exchange fails the
// library just lets go of it. So the completion made here carries a token whose
// destruction marks "released": the waiter wakes on whichever comes first, the result or
// the release of the last copy of the completion, and can tell "the service answered X"
// from "no readable reply" without sitting out a timeout.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace velmora::cli {

template <class T>
class Pending {
public:
    // The completion to hand to the library. Make exactly one and give it away: a copy kept
    // by the caller would hold the token and hide the release.
    auto completion() {
        auto token = std::make_shared<Token>(state_);
        return [state = state_, token](const T& value) {
            std::lock_guard lock(state->mutex);
            if (!state->value) state->value = value;
            state->changed.notify_all();
        };
    }

    // The result, or nullopt once the library has released the completion without calling
    // it. `limit` is a backstop only: the library's own request timeout ends every exchange.
    std::optional<T> wait(std::chrono::steady_clock::duration limit) {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait_for(lock, limit, [&] { return state_->value || state_->released; });
        return state_->value;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<T> value;
        bool released = false;
    };
    struct Token {
        explicit Token(std::shared_ptr<State> s) : state(std::move(s)) {}
        ~Token() {
            std::lock_guard lock(state->mutex);
            state->released = true;
            state->changed.notify_all();
        }
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        std::shared_ptr<State> state;
    };

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace velmora::cli
