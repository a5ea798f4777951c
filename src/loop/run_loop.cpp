// A thread's run loop: posted work and repeating timers served on that thread, and the
// thread-local RunLoop that owns them.

#include <velmora/run_loop.hpp>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "loop/loop_core.hpp"

#if defined(__linux__)
#include <sys/timerfd.h>
#include <unistd.h>
#define VELMORA_TIMERFD 1
#endif

namespace velmora {

namespace detail {

Timer::Timer(std::weak_ptr<LoopCore> owner, std::optional<Clock::duration> p, std::function<void()> t)
    : loop(std::move(owner)), period(p), tick(std::move(t)) {}

namespace {

// Counts a driver in for as long as it is on the stack, exceptions included.
class DepthGuard {
public:
    explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& depth_;
};

// Any point in the past makes an absolute timer expire at once; zero would disarm it.
constexpr Clock::time_point kExpired{std::chrono::nanoseconds(1)};

}  // namespace

LoopCore::LoopCore() : owner_(std::this_thread::get_id()) {}

LoopCore::~LoopCore() {
#if defined(VELMORA_TIMERFD)
    if (timerFd_ >= 0) ::close(timerFd_);
#endif
}

void LoopCore::serve(std::optional<Clock::time_point> deadline) {
    if (!onOwnThread()) return;
    if (serveDueDepth_ > 0) {
        // The application's loop is waiting for this call to return; run() would keep it
        // from ever running again until stop().
        throw std::logic_error(
            "velmora::RunLoop: run()/runFor() called inside serveDue(); a loop attached to an "
            "application's event loop is served by that loop only");
    }
    DepthGuard depth(runDepth_);
    struct Rearm {
        LoopCore& core;
        ~Rearm() {
            std::lock_guard lock(core.mutex_);
            core.rearmLocked(false);
        }
    } rearm{*this};
    for (;;) {
        runPosted(true);
        runDueTimers(true);

        std::unique_lock lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            return;
        }
        if (closed_) return;
        // The deadline comes first: a timer that is always due (a tick longer than its
        // period) must not keep runFor() from returning.
        const auto now = Clock::now();
        if (deadline && now >= *deadline) return;
        if (!posted_.empty()) continue;
        const auto due = nextDue();
        if (due && *due <= now) continue;
        // Sleep until the next timer or the deadline; post(), stop() and add() wake us.
        auto wakeAt = due;
        if (deadline && (!wakeAt || *deadline < *wakeAt)) wakeAt = deadline;
        if (wakeAt) {
            wake_.wait_until(lock, *wakeAt);
        } else {
            wake_.wait(lock);
        }
    }
}

void LoopCore::runPosted(bool stoppable) {
    // Only the work queued before this pass: work that keeps posting more must not keep
    // the timers from ever running.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        if (stoppable && stopRequested_) return;
        batch.swap(posted_);
    }
    while (!batch.empty()) {
        {
            auto work = std::move(batch.front());
            batch.pop_front();
            try {
                if (work) work();
            } catch (...) {
                // Posted work that throws must not end the loop; there is no one to tell.
            }
        }  // its captures go before the next item runs
        std::lock_guard lock(mutex_);
        if (stoppable && stopRequested_ && !batch.empty()) {
            // Stopping keeps what is left, still ahead of anything posted meanwhile.
            posted_.insert(posted_.begin(), std::make_move_iterator(batch.begin()),
                           std::make_move_iterator(batch.end()));
            return;
        }
    }
}

void LoopCore::runDueTimers(bool stoppable) {
    std::vector<std::shared_ptr<Timer>> due;
    {
        std::lock_guard lock(mutex_);
        if (stoppable && stopRequested_) return;
        const auto now = Clock::now();
        for (const auto& timer : timers_) {
            if (!timer->running && timer->period && timer->due <= now) due.push_back(timer);
        }
        std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a->due < b->due; });
    }
    for (const auto& timer : due) {
        if (stoppable) {
            std::lock_guard lock(mutex_);
            if (stopRequested_) return;
        }
        runTick(timer);
    }
}

void LoopCore::runTick(const std::shared_ptr<Timer>& timer) {
    {
        std::lock_guard lock(mutex_);
        // Cancelled by an earlier tick of this pass, or already running in an outer serve()
        // that this one is nested in: ticks of one timer never overlap.
        if (timer->cancelled || timer->running) return;
        const auto now = Clock::now();
        if (timer->due > now) return;
        // The next point of the grid after now: ticks missed while the thread was busy are
        // skipped, and the period does not drift with the time the ticks take.
        const auto period = *timer->period;
        timer->due += ((now - timer->due) / period + 1) * period;
        timer->running = true;
    }
    try {
        timer->tick();
    } catch (...) {
        // A tick that throws must not end the loop; the timer goes on.
    }
    std::function<void()> release;
    {
        std::lock_guard lock(mutex_);
        timer->running = false;
        if (timer->cancelled) release = std::exchange(timer->tick, nullptr);
    }
    // `release` may hold the last reference to a client: it goes here, outside the lock.
}

std::optional<Clock::time_point> LoopCore::nextDue() const {
    std::optional<Clock::time_point> earliest;
    for (const auto& timer : timers_) {
        if (timer->running || !timer->period) continue;
        if (!earliest || timer->due < *earliest) earliest = timer->due;
    }
    return earliest;
}

void LoopCore::serveDue() {
    if (!onOwnThread()) return;
    if (runDepth_ > 0) {
        throw std::logic_error(
            "velmora::RunLoop: serveDue() called inside run()/runFor(); a loop is served either "
            "by run() or by an application's event loop, not both at once");
    }
    {
        DepthGuard depth(serveDueDepth_);
        runPosted(false);
        runDueTimers(false);
    }
    std::lock_guard lock(mutex_);
    rearmLocked(true);
}

int LoopCore::descriptor() {
    std::lock_guard lock(mutex_);
#if defined(VELMORA_TIMERFD)
    if (timerFd_ < 0 && !closed_) {
        // One timer descriptor for both reasons to wake: set to the next tick, and to a
        // point already past when work is posted. No second descriptor, no epoll set.
        timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timerFd_ >= 0) rearmLocked(true);
    }
#endif
    return timerFd_;
}

std::optional<Clock::duration> LoopCore::timeUntilNextTick() const {
    std::lock_guard lock(mutex_);
    if (!posted_.empty()) return Clock::duration::zero();
    const auto due = nextDue();
    if (!due) return std::nullopt;
    return std::max(Clock::duration::zero(), *due - Clock::now());
}

void LoopCore::rearmLocked(bool force) {
#if defined(VELMORA_TIMERFD)
    if (timerFd_ < 0) return;
    std::optional<Clock::time_point> target;
    if (!posted_.empty()) {
        target = kExpired;
    } else {
        target = nextDue();
    }
    if (!force && target == armedAt_) return;
    // steady_clock is CLOCK_MONOTONIC here, so its time points are the timer's absolute times.
    itimerspec spec{};
    if (target) {
        const auto since = std::max(target->time_since_epoch(), kExpired.time_since_epoch());
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
        spec.it_value.tv_sec = static_cast<time_t>(secs.count());
        spec.it_value.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
    }
    // Setting the timer also clears an expiry that was not read: the descriptor is readable
    // exactly while the new setting has passed.
    if (::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr) == 0) armedAt_ = target;
#else
    (void)force;
#endif
}

void LoopCore::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    wake_.notify_all();
}

void LoopCore::post(std::function<void()> work) {
    std::unique_lock lock(mutex_);
    if (closed_) {
        lock.unlock();
        return;  // `work` is dropped unrun, outside the lock
    }
    posted_.push_back(std::move(work));
    rearmLocked(false);
    wake_.notify_all();
}

std::function<void()> LoopCore::add(const std::shared_ptr<Timer>& timer) {
    std::lock_guard lock(mutex_);
    if (closed_ || timer->cancelled) return std::exchange(timer->tick, nullptr);
    if (timer->period) timer->due = Clock::now() + *timer->period;
    timers_.push_back(timer);
    rearmLocked(false);
    wake_.notify_all();
    return {};
}

std::function<void()> LoopCore::cancel(const std::shared_ptr<Timer>& timer) {
    std::lock_guard lock(mutex_);
    timer->cancelled = true;
    std::erase(timers_, timer);
    rearmLocked(false);
    if (timer->running) return {};
    return std::exchange(timer->tick, nullptr);
}

void LoopCore::close() {
    std::vector<std::function<void()>> ticks;
    std::deque<std::function<void()>> posted;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (const auto& timer : timers_) {
            timer->cancelled = true;
            ticks.push_back(std::exchange(timer->tick, nullptr));
        }
        timers_.clear();
        posted.swap(posted_);
#if defined(VELMORA_TIMERFD)
        // Closed with its thread: a watcher on that thread has ended too, and a post from
        // elsewhere must find no descriptor to set.
        if (timerFd_ >= 0) ::close(timerFd_);
#endif
        timerFd_ = -1;
    }
    // Released outside the lock: this may destroy clients, whose teardown may reach a loop.
}

std::size_t LoopCore::timerCount() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

}  // namespace detail

struct RunLoopOwner {
    RunLoop loop;
};

RunLoop::RunLoop() : core_(std::make_shared<detail::LoopCore>()) {}

RunLoop::~RunLoop() { core_->close(); }

RunLoop& RunLoop::current() {
    thread_local RunLoopOwner owner;
    return owner.loop;
}

void RunLoop::run() { core_->serve(std::nullopt); }

void RunLoop::runFor(std::chrono::steady_clock::duration limit) {
    const auto now = detail::Clock::now();
    std::optional<detail::Clock::time_point> deadline;
    // A non-positive limit serves what is already due, once; a limit too long to add to
    // the clock is as good as none.
    if (limit <= detail::Clock::duration::zero()) {
        deadline = now;
    } else if (limit < detail::Clock::time_point::max() - now) {
        deadline = now + limit;
    }
    core_->serve(deadline);
}

void RunLoop::stop() { core_->stop(); }

void RunLoop::post(std::function<void()> work) { core_->post(std::move(work)); }

int RunLoop::descriptor() { return core_->descriptor(); }

std::optional<std::chrono::steady_clock::duration> RunLoop::timeUntilNextTick() const {
    return core_->timeUntilNextTick();
}

void RunLoop::serveDue() { core_->serveDue(); }

std::function<void(std::function<void()>)> RunLoop::poster() const {
    return [core = core_](std::function<void()> work) { core->post(std::move(work)); };
}

}  // namespace velmora
