#pragma once
// The repeating timers a client has started, so that stopTimers() can reach them on
// whichever loops hold them.

#include <functional>
#include <memory>

namespace velmora::detail {

struct TimerRegistry {
    // Ends every timer registered here; see Velmora::stopTimers.
    void stopAll();
};

// Schedules a repeating timer on the calling thread's run loop: first tick one `interval`
// after now. The timer owns `tick` (and so whatever it captures) until it ends, and is
// registered with `registry` so that stopAll() can end it.
void scheduleRepeating(double intervalSeconds, std::function<void()> tick,
                       const std::shared_ptr<TimerRegistry>& registry);

}  // namespace velmora::detail
