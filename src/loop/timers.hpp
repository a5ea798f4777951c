#pragma once
// The repeating timers a client has started, so that stopTimers() can reach them on
// whichever loops hold them.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "loop/loop_core.hpp"

namespace velmora::detail {

// Intervals shorter than this (zero, negative and NaN included) tick at this period, so a
// bad setting cannot make a loop spin without ever sleeping.
inline constexpr Clock::duration kMinTimerPeriod = std::chrono::milliseconds(1);
// Intervals longer than this (infinity included) never come due; the bound keeps the
// schedule's arithmetic far from overflow.
inline constexpr double kMaxTimerSeconds = 100.0 * 365 * 24 * 3600;

// The period a timer of `seconds` runs at; nullopt when it never comes due.
std::optional<Clock::duration> timerPeriod(double seconds) noexcept;

class TimerRegistry {
public:
    // Adds a timer that stopAll() must reach.
    void add(const std::shared_ptr<Timer>& timer);

    // Ends every timer added so far, whatever loop holds it. When it returns no tick of
    // them starts any more, and every one that is not ticking at this moment has released
    // its tick (and so the client it holds); a running tick is released by its loop as soon
    // as it returns. Concurrent calls are serialised, so none returns before the timers
    // are ended.
    void stopAll();

    // Timers added and not yet ended, including those whose loop has since closed.
    std::size_t size() const;

private:
    mutable std::mutex mutex_;  // taken before any loop's mutex, never after
    std::vector<std::weak_ptr<Timer>> timers_;
};

// Schedules a repeating timer on the calling thread's run loop: first tick one interval
// after now (see timerPeriod for intervals out of range). The timer owns `tick` (and so
// whatever it captures) until it ends, and is registered with `registry` so that
// stopAll() can end it.
void scheduleRepeating(double intervalSeconds, std::function<void()> tick,
                       const std::shared_ptr<TimerRegistry>& registry);

}  // namespace velmora::detail
