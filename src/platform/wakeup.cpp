// Futex and eventfd wake-ups on Linux; atomic wait/notify and no descriptor elsewhere or
// with VELMORA_PORTABLE_WAKEUP.

#include "platform/wakeup.hpp"

#if defined(__linux__) && !defined(VELMORA_PORTABLE_WAKEUP)
#define VELMORA_LINUX_WAKEUP 1
#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace velmora::detail {

void WakeWord::sleepWhile(std::uint32_t value) noexcept {
#if defined(VELMORA_LINUX_WAKEUP)
    // The futex itself: no spinning and no waiter bookkeeping, one call to sleep.
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
#else
    word_.wait(value, std::memory_order_acquire);
#endif
}

void WakeWord::wakeOne() noexcept {
#if defined(VELMORA_LINUX_WAKEUP)
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
    word_.notify_one();
#endif
}

WakeFd::WakeFd() {
#if defined(VELMORA_LINUX_WAKEUP)
    // One write and one read per wake-up.
    fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
}

WakeFd::~WakeFd() {
#if defined(VELMORA_LINUX_WAKEUP)
    if (fd_ >= 0) ::close(fd_);
#endif
}

void WakeFd::signal() noexcept {
#if defined(VELMORA_LINUX_WAKEUP)
    const std::uint64_t one = 1;
    // Cannot fail short of the counter's overflow, which a pending wake-up already covers.
    [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
#endif
}

void WakeFd::drain() noexcept {
#if defined(VELMORA_LINUX_WAKEUP)
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(fd_, &count, sizeof count);
#endif
}

}  // namespace velmora::detail
