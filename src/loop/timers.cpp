// Timer periods from the settings' seconds, and the registry through which stopTimers
// reaches a client's timers on whichever loops hold them.

#include "loop/timers.hpp"

#include <cmath>

#include <velmora/run_loop.hpp>

namespace velmora::detail {

std::optional<Clock::duration> timerPeriod(double seconds) noexcept {
    // Written so that NaN and minus infinity take the first branch.
    if (!(seconds > std::chrono::duration<double>(kMinTimerPeriod).count())) return kMinTimerPeriod;
    if (seconds > kMaxTimerSeconds) return std::nullopt;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void TimerRegistry::add(const std::shared_ptr<Timer>& timer) {
    std::lock_guard lock(mutex_);
    // Timers whose loop has ended are gone already; forget them here so a long-lived client
    // does not collect them.
    std::erase_if(timers_, [](const std::weak_ptr<Timer>& t) { return t.expired(); });
    timers_.push_back(timer);
}

void TimerRegistry::stopAll() {
    std::vector<std::function<void()>> released;
    {
        // Held across the cancels so that a concurrent call returns only once they are done.
        // A loop never takes this lock while holding its own, so the order cannot invert.
        std::lock_guard lock(mutex_);
        for (const auto& weak : timers_) {
            const auto timer = weak.lock();
            if (!timer) continue;
            const auto loop = timer->loop.lock();
            if (!loop) continue;  // its thread has ended and released it
            if (auto tick = loop->cancel(timer)) released.push_back(std::move(tick));
        }
        timers_.clear();
    }
    // The ticks may hold the last reference to the client (and run arbitrary destructors,
    // even a nested stopAll): released outside the lock.
    released.clear();
}

std::size_t TimerRegistry::size() const {
    std::lock_guard lock(mutex_);
    std::size_t live = 0;
    for (const auto& weak : timers_) live += weak.expired() ? 0 : 1;
    return live;
}

void scheduleRepeating(double intervalSeconds, std::function<void()> tick,
                       const std::shared_ptr<TimerRegistry>& registry) {
    const auto& loop = RunLoop::current().core();
    auto timer = std::make_shared<Timer>(loop, timerPeriod(intervalSeconds), std::move(tick));
    // Registered before it can tick, so a stopAll() from another thread in between still
    // ends it (the loop then refuses it).
    registry->add(timer);
    const auto refused = loop->add(timer);
    (void)refused;  // released here, outside every lock
}

}  // namespace velmora::detail
