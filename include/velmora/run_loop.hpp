#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace velmora {

namespace detail {
class LoopCore;
}

// A thread's run loop: where the repeating timers of `initUser`, `receiveUsers` and
// `receiveMessages` tick, and where posted work runs. Each thread has exactly one,
// made on first use by `current()`; it is served only while its thread is inside
// `run()` or `runFor()`, and it is destroyed when its thread ends, releasing its
// timers (and the clients they hold).
class RunLoop {
public:
    // The calling thread's loop, made on first use.
    static RunLoop& current();

    // Serves timers and posted work on the calling thread until `stop()`.
    // Must be called on the loop's own thread.
    void run();

    // The same, for at most `limit`; returns early on `stop()`.
    void runFor(std::chrono::steady_clock::duration limit);

    // Makes the current (or the next) `run`/`runFor` of this loop return as soon as the
    // work in hand is done. Any thread may call it, but only while the loop's thread is
    // alive: a loop lives exactly as long as its thread.
    void stop();

    // Queues `work` to run on the loop's thread, in the order posted, the next time the
    // loop is served. Any thread may call it while the loop's thread is alive; work still
    // queued when the thread ends is dropped unrun.
    void post(std::function<void()> work);

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Internal: the shared state that timers and other threads reach the loop through.
    const std::shared_ptr<detail::LoopCore>& core() const noexcept { return core_; }

private:
    RunLoop();
    ~RunLoop();
    friend struct RunLoopOwner;

    std::shared_ptr<detail::LoopCore> core_;
};

}  // namespace velmora
