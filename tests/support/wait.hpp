#pragma once
// Waiting for completions that arrive on other threads, without sleeping.

#include <chrono>
#include <condition_variable>
#include <mutex>

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

}  // namespace velmora::testing
