// The run loop and its repeating timers, without any service: scheduling, skipping,
// sleeping, posting, stopping, and the registry that stopTimers() goes through.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include <velmora/run_loop.hpp>

#include "loop/loop_core.hpp"
#include "loop/timers.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using detail::Clock;
using testing::serveUntil;

std::chrono::nanoseconds threadCpuTime() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

struct Ticks {
    std::vector<Clock::time_point> at;
    std::size_t count() const { return at.size(); }
};

TEST(RunLoopTimerPeriod, OutOfRangeIntervalsAreBoundedAndNeverSpin) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double seconds;
        std::optional<Clock::duration> period;
    } cases[] = {
        {0.25, 250ms},
        {0.0, detail::kMinTimerPeriod},
        {-3.0, detail::kMinTimerPeriod},
        {1e-9, detail::kMinTimerPeriod},
        {nan, detail::kMinTimerPeriod},
        {-inf, detail::kMinTimerPeriod},
        {inf, std::nullopt},
        {1e300, std::nullopt},
        {detail::kMaxTimerSeconds, std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(detail::kMaxTimerSeconds))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::timerPeriod(c.seconds), c.period) << c.seconds;
    }
}

class RunLoopTimers : public ::testing::Test {
protected:
    void TearDown() override {
        registry->stopAll();
        RunLoop::current().runFor(0ms);  // drops whatever a test left posted
    }
    void schedule(double seconds, std::function<void()> tick) {
        detail::scheduleRepeating(seconds, std::move(tick), registry);
    }
    std::shared_ptr<detail::TimerRegistry> registry = std::make_shared<detail::TimerRegistry>();
};

TEST_F(RunLoopTimers, FirstTickComesOneIntervalAfterSchedulingThenRepeats) {
    Ticks ticks;
    const auto start = Clock::now();
    schedule(0.1, [&] { ticks.at.push_back(Clock::now()); });
    RunLoop::current().runFor(60ms);
    EXPECT_EQ(ticks.count(), 0u) << "ticked at once";
    ASSERT_TRUE(serveUntil([&] { return ticks.count() >= 3; }));
    EXPECT_GE(ticks.at[0] - start, 100ms);
    EXPECT_GE(ticks.at[1] - start, 200ms);
    EXPECT_GE(ticks.at[2] - start, 300ms);
}

TEST_F(RunLoopTimers, PeriodIsMeasuredFromTheScheduleNotFromEachTick) {
    // Each tick sleeps for most of the period: rescheduled from the end of each tick, the
    // ticks would drift 35 ms off the schedule's 50 ms grid at every step and land anywhere
    // between its points (half of them 20 ms or more past one). On the grid, a tick comes a
    // wake-up latency after a point (a tick the machine made late may skip one). The tick
    // sleeps rather than computes, so a loaded machine delays it by that latency only.
    Ticks ticks;
    const auto start = Clock::now();
    schedule(0.05, [&] {
        ticks.at.push_back(Clock::now());
        std::this_thread::sleep_for(35ms);
    });
    ASSERT_TRUE(serveUntil([&] { return ticks.count() >= 11; }));
    for (std::size_t k = 0; k < ticks.count(); ++k) EXPECT_GE(ticks.at[k] - start, static_cast<long>(k + 1) * 50ms) << k;
    std::vector<Clock::duration> pastPoint;
    for (const auto at : ticks.at) pastPoint.push_back((at - start) % 50ms);
    const auto median = pastPoint.begin() + static_cast<std::ptrdiff_t>(pastPoint.size() / 2);
    std::nth_element(pastPoint.begin(), median, pastPoint.end());
    EXPECT_LT(*median, 15ms);
}

TEST_F(RunLoopTimers, ALateTickDoesNotShiftTheSchedule) {
    Ticks ticks;
    const auto start = Clock::now();
    schedule(0.6, [&] { ticks.at.push_back(Clock::now()); });
    std::this_thread::sleep_for(900ms);
    RunLoop::current().runFor(0ms);  // the tick due at 600 ms runs late, at 900 ms
    ASSERT_EQ(ticks.count(), 1u);
    ASSERT_TRUE(serveUntil([&] { return ticks.count() == 2; }));
    // Still on the grid of the schedule (1200 ms), not one period after the late tick (1500).
    EXPECT_GE(ticks.at[1] - start, 1200ms);
    EXPECT_LT(ticks.at[1] - start, 1450ms);
}

TEST_F(RunLoopTimers, TicksMissedWhileTheThreadIsBusyAreSkippedNotQueued) {
    int ticks = 0;
    schedule(0.02, [&] { ++ticks; });
    std::this_thread::sleep_for(230ms);  // eleven periods without serving the loop
    RunLoop::current().runFor(0ms);
    EXPECT_EQ(ticks, 1);
    // Back on the grid afterwards: the next tick is at most one period away.
    const auto resumed = Clock::now();
    ASSERT_TRUE(serveUntil([&] { return ticks == 2; }));
    EXPECT_LT(Clock::now() - resumed, 500ms);
}

TEST_F(RunLoopTimers, TicksOfOneTimerNeverOverlapEvenWhenATickServesTheLoop) {
    int depth = 0, maxDepth = 0, outerTicks = 0, otherTicks = 0;
    schedule(0.01, [&] {
        ++outerTicks;
        maxDepth = std::max(maxDepth, ++depth);
        RunLoop::current().runFor(80ms);  // nested: other timers tick, this one does not
        --depth;
    });
    schedule(0.01, [&] { ++otherTicks; });
    ASSERT_TRUE(serveUntil([&] { return outerTicks >= 3; }));
    EXPECT_EQ(maxDepth, 1);
    // Each nested run lasts eight of the other timer's periods.
    EXPECT_GT(otherTicks, outerTicks);
}

TEST_F(RunLoopTimers, TwoTimersTickIndependentlyAtTheirOwnPeriods) {
    Ticks fast, slow;
    const auto start = Clock::now();
    schedule(0.02, [&] { fast.at.push_back(Clock::now()); });
    schedule(0.1, [&] { slow.at.push_back(Clock::now()); });
    ASSERT_TRUE(serveUntil([&] { return slow.count() >= 3; }));
    for (std::size_t k = 0; k < fast.count(); ++k) EXPECT_GE(fast.at[k] - start, static_cast<long>(k + 1) * 20ms) << k;
    for (std::size_t k = 0; k < slow.count(); ++k) EXPECT_GE(slow.at[k] - start, static_cast<long>(k + 1) * 100ms) << k;
    // Fifteen points of the fast grid have passed; had both shared one period the counts
    // would be equal. Twice leaves room for ticks a loaded machine skips.
    EXPECT_GE(fast.count(), 2 * slow.count());
}

TEST_F(RunLoopTimers, OutOfRangeIntervalsNeitherSpinNorStarveTheLoop) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double seconds : {0.0, -1.0, nan}) {
        int ticks = 0;
        bool posted = false;
        schedule(seconds, [&] { ++ticks; });
        const auto start = Clock::now();
        const auto cpuBefore = threadCpuTime();
        RunLoop::current().post([&] { posted = true; });
        RunLoop::current().runFor(200ms);
        const auto elapsed = Clock::now() - start;
        EXPECT_TRUE(posted) << seconds;
        // At most one tick per millisecond, and the loop sleeps between them.
        EXPECT_LE(ticks, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() + 1) << seconds;
        EXPECT_LT(threadCpuTime() - cpuBefore, 150ms) << seconds;
        EXPECT_TRUE(serveUntil([&] { return ticks >= 20; })) << seconds;
        registry->stopAll();
    }
    int never = 0;
    schedule(std::numeric_limits<double>::infinity(), [&] { ++never; });
    RunLoop::current().runFor(50ms);
    EXPECT_EQ(never, 0);
}

TEST_F(RunLoopTimers, AnIdleLoopSleeps) {
    int ticks = 0;
    schedule(3600.0, [&] { ++ticks; });
    const auto cpuBefore = threadCpuTime();
    RunLoop::current().runFor(300ms);
    EXPECT_LT(threadCpuTime() - cpuBefore, 30ms);
    EXPECT_EQ(ticks, 0);
}

TEST_F(RunLoopTimers, ATickThatThrowsLeavesTheTimerAndTheLoopRunning) {
    int ticks = 0;
    schedule(0.01, [&] {
        ++ticks;
        throw std::runtime_error("tick");
    });
    EXPECT_TRUE(serveUntil([&] { return ticks >= 3; }));
}

TEST(RunLoopPost, WorkFromOtherThreadsRunsOnTheLoopThreadInOrder) {
    auto& loop = RunLoop::current();
    std::vector<int> order;
    std::vector<std::thread::id> ranOn;
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i) {
            loop.post([&, i] {
                order.push_back(i);
                ranOn.push_back(std::this_thread::get_id());
            });
        }
        loop.post([] { throw std::runtime_error("posted work"); });
        loop.post([&] { loop.stop(); });
    });
    const auto start = Clock::now();
    loop.run();  // ends by the posted stop()
    poster.join();
    EXPECT_LT(Clock::now() - start, 5s);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    for (const auto& id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(RunLoopPost, PostAndStopWakeASleepingLoop) {
    auto& loop = RunLoop::current();
    std::atomic<bool> ran{false};
    auto other = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(50ms);
        loop.post([&] { ran = true; });
        std::this_thread::sleep_for(50ms);
        loop.stop();
    });
    const auto start = Clock::now();
    loop.runFor(10s);
    other.get();
    EXPECT_TRUE(ran);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(RunLoopPost, StopBeforeRunMakesTheNextRunReturnAndKeepsQueuedWork) {
    auto& loop = RunLoop::current();
    int ran = 0;
    loop.post([&] {
        ++ran;
        loop.stop();
    });
    loop.post([&] { ++ran; });
    loop.run();
    EXPECT_EQ(ran, 1);  // the stop ended the run after the work in hand
    loop.stop();
    const auto start = Clock::now();
    loop.run();  // returns at once
    EXPECT_LT(Clock::now() - start, 1s);
    loop.runFor(0ms);
    EXPECT_EQ(ran, 2);
}

TEST(RunLoopPost, RunOnAnotherThreadsLoopReturnsAtOnce) {
    auto& loop = RunLoop::current();
    std::thread([&] {
        const auto start = Clock::now();
        loop.run();
        EXPECT_LT(Clock::now() - start, 1s);
    }).join();
}

TEST(RunLoopThreadEnd, AnEndingThreadReleasesItsTimersAndQueuedWork) {
    auto registry = std::make_shared<detail::TimerRegistry>();
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    std::shared_ptr<detail::LoopCore> core;
    std::atomic<int> ticks{0};
    std::thread([&, held = std::move(held)]() mutable {
        detail::scheduleRepeating(0.01, [held, &ticks] { ++ticks; }, registry);
        detail::scheduleRepeating(3600, [held] {}, registry);
        RunLoop::current().post([held] {});
        serveUntil([&] { return ticks >= 2; });
        RunLoop::current().post([held] {});  // never served
        core = RunLoop::current().core();
        held.reset();
    }).join();
    EXPECT_GE(ticks.load(), 2);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(core->timerCount(), 0u);
    // Reaching the closed loop afterwards is harmless and drops what it is handed.
    auto late = std::make_shared<int>(0);
    std::weak_ptr<int> lateWatch = late;
    core->post([late = std::move(late)] {});
    EXPECT_TRUE(lateWatch.expired());
    registry->stopAll();
    EXPECT_EQ(registry->size(), 0u);
}

// A tick's captures stand for the client it holds.
TEST(RunLoopStopAll, EndsTimersOnEveryLoopAndReleasesThemBeforeReturning) {
    auto registry = std::make_shared<detail::TimerRegistry>();
    std::atomic<bool> quit{false};
    std::atomic<int> ticks{0};
    std::vector<std::weak_ptr<int>> watches;
    std::vector<std::thread> threads;
    std::atomic<int> scheduled{0};
    for (int t = 0; t < 2; ++t) {
        auto held = std::make_shared<int>(t);
        watches.push_back(held);
        threads.emplace_back([&, held = std::move(held)]() mutable {
            detail::scheduleRepeating(0.005, [held, &ticks] { ++ticks; }, registry);
            held.reset();
            ++scheduled;
            while (!quit) RunLoop::current().runFor(10ms);
        });
    }
    while (ticks < 10) std::this_thread::sleep_for(1ms);
    registry->stopAll();
    // A tick running at that moment is released as it returns; the others already are.
    const auto deadline = Clock::now() + 5s;
    auto released = [&] {
        for (const auto& w : watches) if (!w.expired()) return false;
        return true;
    };
    while (!released() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(released());
    const int after = ticks;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ticks.load(), after);
    quit = true;
    for (auto& t : threads) t.join();
    registry->stopAll();  // twice is harmless
}

TEST(RunLoopStopAll, ARunningTickFinishesAndIsReleasedWhenItReturns) {
    auto registry = std::make_shared<detail::TimerRegistry>();
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    std::promise<void> entered, release;
    auto releaseFuture = release.get_future().share();
    std::atomic<int> ticks{0};
    std::atomic<bool> quit{false};
    std::thread loopThread([&, held = std::move(held)]() mutable {
        detail::scheduleRepeating(
            0.01,
            [held, &ticks, &entered, releaseFuture] {
                if (++ticks == 1) {
                    entered.set_value();
                    releaseFuture.wait();
                }
            },
            registry);
        held.reset();
        while (!quit) RunLoop::current().runFor(10ms);
    });
    entered.get_future().wait();
    registry->stopAll();  // does not wait for the tick
    EXPECT_FALSE(watch.expired()) << "released under a running tick";
    release.set_value();
    const auto deadline = Clock::now() + 5s;
    while (!watch.expired() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(watch.expired());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ticks.load(), 1);
    quit = true;
    loopThread.join();
}

TEST(RunLoopStopAll, StoppingInsideTicksWhileAnotherThreadStopsTooDoesNotDeadlock) {
    auto registry = std::make_shared<detail::TimerRegistry>();
    std::atomic<bool> quit{false};
    std::atomic<int> stopsInTicks{0};
    auto worker = [&] {
        while (!quit) {
            detail::scheduleRepeating(
                0.001,
                [&] {
                    registry->stopAll();
                    ++stopsInTicks;
                    registry->stopAll();
                },
                registry);
            RunLoop::current().runFor(3ms);
        }
    };
    std::thread a(worker), b(worker);
    std::thread hammer([&] {
        while (!quit) {
            registry->stopAll();
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto deadline = Clock::now() + 30s;
    while (stopsInTicks < 50 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    quit = true;
    a.join();
    b.join();
    hammer.join();
    EXPECT_GE(stopsInTicks.load(), 50);
}

// --- Driven by an outside event loop ---

bool readable(int fd, std::chrono::milliseconds wait = 0ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1 && (p.revents & POLLIN);
}

class RunLoopOutside : public RunLoopTimers {
protected:
    RunLoop& loop = RunLoop::current();
};

TEST_F(RunLoopOutside, TheDescriptorIsReadableExactlyWhileWorkIsPostedOrATickDue) {
    const int fd = loop.descriptor();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(loop.descriptor(), fd) << "one descriptor per loop";
    loop.serveDue();
    EXPECT_FALSE(readable(fd));
    EXPECT_EQ(loop.timeUntilNextTick(), std::nullopt) << "idle";

    int ran = 0;
    std::thread([&] { loop.post([&] { ++ran; }); }).join();
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(loop.timeUntilNextTick(), Clock::duration::zero());
    loop.serveDue();
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(readable(fd));

    int ticks = 0;
    schedule(0.15, [&] { ++ticks; });
    const auto left = loop.timeUntilNextTick();
    ASSERT_TRUE(left.has_value());
    EXPECT_GT(*left, 0ms);
    EXPECT_LE(*left, 150ms);
    EXPECT_FALSE(readable(fd)) << "readable long before the tick";
    ASSERT_TRUE(readable(fd, 30s));
    EXPECT_GE(Clock::now() + *loop.timeUntilNextTick(), Clock::now()) << "due now";
    loop.serveDue();
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(readable(fd)) << "the tick is served and the next one is ahead";

    registry->stopAll();
    EXPECT_EQ(loop.timeUntilNextTick(), std::nullopt);
    EXPECT_FALSE(readable(fd, 300ms)) << "a stopped timer still wakes the loop";
}

// An application's loop in miniature: poll on the descriptor, serve when readable. Work from
// another thread and ticks both run here, and the loop wakes for them only.
TEST_F(RunLoopOutside, APollLoopServesTicksAndWorkFromOtherThreadsWithoutPolling) {
    const int fd = loop.descriptor();
    int ticks = 0, wakeups = 0;
    std::atomic<int> posted{0};
    std::vector<std::thread::id> ranOn;
    schedule(0.05, [&] {
        ++ticks;
        ranOn.push_back(std::this_thread::get_id());
    });
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i) {
            loop.post([&] {
                ++posted;
                ranOn.push_back(std::this_thread::get_id());
            });
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto deadline = Clock::now() + 30s;
    while ((ticks < 6 || posted < 5) && Clock::now() < deadline) {
        if (!readable(fd, 1000ms)) continue;
        ++wakeups;
        loop.serveDue();
    }
    poster.join();
    EXPECT_GE(ticks, 6);
    EXPECT_EQ(posted.load(), 5);
    for (const auto& id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());
    // One wake-up per tick and per post at most (a post and a tick may share one).
    EXPECT_LE(wakeups, ticks + posted);
}

// Asio registers descriptors edge-triggered: a serveDue() that leaves work behind (work that
// posts more) must make a fresh edge, or such a loop never wakes for that work.
TEST_F(RunLoopOutside, AnEdgeTriggeredWatcherSeesWorkThatServeDueLeftBehind) {
    const int fd = loop.descriptor();
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(ep, 0);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ASSERT_EQ(::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);
    int generations = 0;
    std::function<void()> again = [&] {
        if (++generations < 5) loop.post(again);
    };
    loop.post(again);
    const auto deadline = Clock::now() + 30s;
    while (generations < 5 && Clock::now() < deadline) {
        epoll_event out{};
        if (::epoll_wait(ep, &out, 1, 1000) == 1) loop.serveDue();
    }
    ::close(ep);
    EXPECT_EQ(generations, 5);
}

TEST_F(RunLoopOutside, DrivingOneLoopBothWaysAtOnceThrowsAndNestingOneWayWorks) {
    int inner = 0;
    bool runInsideServeDue = false, serveDueInsideRun = false;
    loop.post([&] {
        try {
            loop.runFor(0ms);
        } catch (const std::logic_error&) {
            runInsideServeDue = true;
        }
        loop.post([&] { ++inner; });
        loop.serveDue();  // nested in itself: runs the work just posted
    });
    loop.serveDue();
    EXPECT_TRUE(runInsideServeDue);
    EXPECT_EQ(inner, 1);

    loop.post([&] {
        try {
            loop.serveDue();
        } catch (const std::logic_error&) {
            serveDueInsideRun = true;
        }
    });
    loop.runFor(0ms);
    EXPECT_TRUE(serveDueInsideRun);

    // The loop is sound afterwards, and a stop() meant for run() does not hold serveDue() up.
    int after = 0;
    loop.stop();
    loop.post([&] { ++after; });
    loop.serveDue();
    EXPECT_EQ(after, 1);
    std::thread([&] { loop.serveDue(); }).join();  // another thread's call returns at once
    loop.run();  // the stop() is still pending for run()
}

TEST(RunLoopPoster, OutlivesTheLoopsThreadAndThenDropsWork) {
    std::function<void(std::function<void()>)> post;
    std::atomic<int> ran{0};
    std::thread([&] {
        post = RunLoop::current().poster();
        post([&] { ++ran; });
        RunLoop::current().runFor(0ms);
    }).join();
    EXPECT_EQ(ran.load(), 1);
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    post([&ran, held = std::move(held)] { ++ran; });
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace velmora
