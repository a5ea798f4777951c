#pragma once
// Waiting for completions that arrive on other threads, without sleeping.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <velmora/run_loop.hpp>

namespace velmora::testing {

class Counter {
public:
    // Notifies under the lock: a waiter that sees its count may destroy the counter at once.
    void add(int n = 1) {
        std::lock_guard lock(mutex_);
        count_ += n;
        changed_.notify_all();
    }
    int value() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    // True once the count reaches `target` within `timeout`.
    bool waitFor(int target, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_ >= target; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int count_ = 0;
};

// The default limits are generous on purpose: they only bound a test that is failing, and
// a sanitizer build on a loaded machine can take seconds for what takes milliseconds here.

// Polls `done()` until it holds or `limit` passes; for states no one signals.
template <class Pred>
bool waitUntil(Pred done, std::chrono::steady_clock::duration limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

// Serves the calling thread's run loop until `done()` holds or `limit` passes.
template <class Pred>
bool serveUntil(Pred done, std::chrono::steady_clock::duration limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        RunLoop::current().runFor(std::chrono::milliseconds(5));
    }
    return done();
}

}  // namespace velmora::testing
