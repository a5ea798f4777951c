#pragma once
// Ending a long-running command on Ctrl-C (SIGINT) or SIGTERM.
//
// The handler only writes one byte to a self-pipe (write(2) is async-signal-safe); a helper
// thread waits on the pipe, prints the notice and calls `stop` (which must be safe to call
// from another thread, as RunLoop::stop() is). The helper
// also wakes every `checkPeriod` to run `check`, so long-running commands can watch their
// health without a timer of their own. The handlers reset themselves after the first
// signal: a second Ctrl-C ends the process at once.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace velmora::cli {

class StopSignal {
public:
    // `notice` goes to standard error at the first signal: what the command still waits
    // for. A zero `checkPeriod` or an empty `check` checks nothing.
    StopSignal(std::function<void()> stop, std::string notice, std::chrono::milliseconds checkPeriod = {},
               std::function<void()> check = nullptr);
    ~StopSignal();  // ends the helper and restores the previous handlers

    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool installed() const noexcept { return installed_; }
    bool interrupted() const noexcept { return interrupted_.load(); }

private:
    void serve();

    std::function<void()> stop_;
    std::string notice_;
    std::chrono::milliseconds checkPeriod_;
    std::function<void()> check_;
    std::atomic<bool> interrupted_{false};
    bool installed_ = false;
    std::thread helper_;
};

}  // namespace velmora::cli
