#pragma once
// The two ways one thread wakes another with the fewest system calls: a word to sleep on
// (a futex on Linux) and a descriptor to poll (an eventfd on Linux). Built with
// VELMORA_PORTABLE_WAKEUP, or elsewhere than Linux, both use portable means instead.

#include <atomic>
#include <cstdint>

namespace velmora::detail {

// A word one thread sleeps on while it holds a value and another sets and wakes. Not a
// condition variable: a thread woken from one takes its mutex back marked as contended, so
// every hand-off paid one more system call for the unlock that followed.
class WakeWord {
public:
    std::atomic<std::uint32_t>& word() noexcept { return word_; }
    // Sleeps while the word holds `value`; returns at once if it no longer does.
    void sleepWhile(std::uint32_t value) noexcept;
    void wakeOne() noexcept;

private:
    std::atomic<std::uint32_t> word_{0};
};

// A descriptor that becomes readable when signalled, for a thread that waits in poll.
// fd() is -1 where there is none: the waiter then needs a wake-up of its own.
class WakeFd {
public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;

    int fd() const noexcept { return fd_; }
    void signal() noexcept;
    // Clears the signal after the descriptor was seen readable.
    void drain() noexcept;

private:
    int fd_ = -1;
};

}  // namespace velmora::detail
