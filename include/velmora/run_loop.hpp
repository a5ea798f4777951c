#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace velmora {

namespace detail {
class LoopCore;
}

// A thread's run loop: where the repeating timers of `initUser`, `receiveUsers` and
// `receiveMessages` tick, and where posted work runs. Each thread has exactly one,
// made on first use by `current()`; it is served only while its thread is inside
// `run()` or `runFor()`, and it is destroyed when its thread ends, releasing its
// timers (and the clients they hold) and dropping unrun work.
//
// Timers: the first tick comes one interval after the timer was started, then one per
// interval on a grid measured from that start, so the period does not drift. A tick that
// falls due while the thread is busy (a blocking exchange in another tick, work outside
// the loop) runs once when the loop is next served; the ticks missed meanwhile are
// skipped, not queued. Ticks of one timer never overlap. An interval below one millisecond
// (zero, negative or NaN included) ticks every millisecond, so it cannot make the loop spin
// without sleeping; one above a hundred years (infinity included) never comes due. Both
// still hold their client until `Velmora::stopTimers()` or the thread's end.
//
// An idle loop sleeps until the next timer is due or work is posted; a tick or posted work
// that throws is dropped and the loop goes on.
//
// A thread that already runs an event loop of its own (Qt, GLib, libuv, Boost.Asio, ...)
// serves its RunLoop from there instead of calling `run()`: it watches `descriptor()` for
// reading and calls `serveDue()` whenever it is readable (velmora/adapters/ has this for those
// four, docs/event-loops.md for any other). Nothing then polls: the descriptor becomes
// readable only when work is posted or a tick is due.
class RunLoop {
public:
    // The calling thread's loop, made on first use.
    static RunLoop& current();

    // Serves timers and posted work on the calling thread until `stop()`. Called on any
    // thread but the loop's own, it returns at once. A tick may serve the loop again
    // (nested); the timer whose tick is running does not tick inside it. Throws
    // std::logic_error inside `serveDue()` (see there).
    void run();

    // The same, for at most `limit` (plus whatever tick or work is running when it
    // expires); returns early on `stop()`. A non-positive limit serves what is due
    // already, once, without waiting.
    void runFor(std::chrono::steady_clock::duration limit);

    // Makes the current (or the next) `run`/`runFor` of this loop return as soon as the
    // work in hand is done. Any thread may call it, but only while the loop's thread is
    // alive: a loop lives exactly as long as its thread.
    void stop();

    // Queues `work` to run on the loop's thread, in the order posted, the next time the
    // loop is served. Any thread may call it while the loop's thread is alive; work still
    // queued when the thread ends is dropped unrun.
    void post(std::function<void()> work);

    // The same as a function that any thread may call for as long as it likes: work handed to
    // it after the loop's thread has ended is dropped unrun (and destroyed by the caller).
    // For completions that other threads bring to this loop.
    std::function<void(std::function<void()>)> poster() const;

    // --- Driven by an application's event loop ---

    // A descriptor that is readable while the loop has work posted or a tick due: watch it
    // level- or edge-triggered (each change to "readable" is a fresh edge, and so is a
    // `serveDue()` that leaves something to do). Now and then it is readable with nothing to
    // do (after `runFor()`, say); `serveDue()` then only clears it. The loop owns it: do not
    // read, write or close it. Made on first call, by any thread; valid until the loop's
    // thread ends. Linux only: -1 elsewhere, and if the system refuses a timer descriptor.
    int descriptor();

    // How long until the loop has something to do: zero while work is posted or a tick is
    // due, nothing when no timer will ever come due and no work is queued. For a loop that
    // sets a timer of its own instead of watching the descriptor. Any thread.
    std::optional<std::chrono::steady_clock::duration> timeUntilNextTick() const;

    // Runs the work posted and the ticks due now, once, without waiting. Work posted
    // meanwhile waits for the next call (the descriptor stays readable), so an application's
    // loop gets its turn in between. `stop()` does not concern it. On the loop's thread only
    // (elsewhere it returns at once). It may nest in itself (a tick that runs a modal dialog's
    // loop); but one thread cannot wait in two loops at once: it throws std::logic_error when
    // called inside `run()`/`runFor()` of this loop, and they throw std::logic_error when
    // called inside it.
    void serveDue();

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
