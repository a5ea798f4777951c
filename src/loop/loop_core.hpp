#pragma once
// The shared state behind a RunLoop: its posted work and its repeating timers. Other
// threads reach a loop only through this object (post, stop, cancelling a timer), so it
// outlives the thread-local RunLoop for as long as anyone still holds it; once its thread
// has ended it is closed and drops whatever it is handed.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora::detail {

using Clock = std::chrono::steady_clock;

class LoopCore;

// One repeating timer. Every field but the constants is guarded by the owning loop's
// mutex; `tick` itself is called without the lock, and while `running` is set only the
// loop's thread touches it.
struct Timer {
    Timer(std::weak_ptr<LoopCore> owner, std::optional<Clock::duration> period, std::function<void()> tick);

    const std::weak_ptr<LoopCore> loop;
    const std::optional<Clock::duration> period;  // nullopt: never comes due
    Clock::time_point due{};                      // the next point of the schedule's grid
    std::function<void()> tick;
    bool running = false;
    bool cancelled = false;
};

class LoopCore {
public:
    LoopCore();
    LoopCore(const LoopCore&) = delete;
    LoopCore& operator=(const LoopCore&) = delete;

    ~LoopCore();

    // Serves the loop on its own thread until stop() or `deadline` (nullopt: no deadline).
    // Returns at once when called on any other thread; throws std::logic_error inside
    // serveDue().
    void serve(std::optional<Clock::time_point> deadline);
    void stop();
    void post(std::function<void()> work);

    // Driving from an application's event loop (see RunLoop): the timer descriptor, made on
    // first use, -1 where there is none or once the loop is closed.
    int descriptor();
    std::optional<Clock::duration> timeUntilNextTick() const;
    // One pass over posted work and due ticks, without waiting and regardless of stop().
    void serveDue();

    // Starts `timer` now: its first tick comes one period later. When the loop is closed the
    // timer's tick is handed back for the caller to release outside any lock.
    std::function<void()> add(const std::shared_ptr<Timer>& timer);
    // Ends `timer`: no tick of it starts afterwards. Returns its tick for the caller to
    // release outside any lock, or nothing when a tick is running right now (the loop's
    // thread then releases it as soon as that tick returns).
    std::function<void()> cancel(const std::shared_ptr<Timer>& timer);

    // The loop's thread is ending: drops every timer and all queued work.
    void close();

    std::size_t timerCount() const;

private:
    bool onOwnThread() const noexcept { return std::this_thread::get_id() == owner_; }
    // `stoppable`: a stop() request ends the pass (run/runFor); serveDue() ignores it.
    void runPosted(bool stoppable);
    void runDueTimers(bool stoppable);
    void runTick(const std::shared_ptr<Timer>& timer);
    // The earliest due point among the timers that may tick now; nullopt when none.
    std::optional<Clock::time_point> nextDue() const;
    // Points the descriptor at what the loop has to do next: expired while work is posted or
    // a tick is due, at the next tick otherwise, disarmed when idle. `force` re-arms even an
    // unchanged expiry, so that a watcher registered edge-triggered sees a fresh edge.
    void rearmLocked(bool force);

    const std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::vector<std::shared_ptr<Timer>> timers_;
    bool stopRequested_ = false;
    bool closed_ = false;

    int timerFd_ = -1;
    std::optional<Clock::time_point> armedAt_;  // what timerFd_ is set to; nullopt: disarmed
    // Which kind of driver is on the loop's thread's stack; touched by that thread only.
    int runDepth_ = 0;
    int serveDueDepth_ = 0;
};

}  // namespace velmora::detail
