#pragma once
// Ending a run loop on Ctrl-C (SIGINT) or SIGTERM.
//
// The handler only writes one byte to a self-pipe (write(2) is async-signal-safe); a helper
// thread waits on the pipe and calls RunLoop::stop(), which any thread may call. The helper
// also wakes every `checkPeriod` to run `check`, so long-running commands can watch their
// health without a timer of their own. The handlers reset themselves after the first
// signal: a second Ctrl-C ends the process at once.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <velmora/run_loop.hpp>

namespace velmora::cli {

class StopSignal {
public:
    StopSignal(RunLoop& loop, std::chrono::milliseconds checkPeriod, std::function<void()> check);
    ~StopSignal();  // ends the helper and restores the previous handlers

    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool installed() const noexcept { return installed_; }
    bool interrupted() const noexcept { return interrupted_.load(); }

private:
    void serve();

    RunLoop& loop_;
    std::chrono::milliseconds checkPeriod_;
    std::function<void()> check_;
    std::atomic<bool> interrupted_{false};
    bool installed_ = false;
    std::thread helper_;
};

}  // namespace velmora::cli
