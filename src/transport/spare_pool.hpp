#pragma once
// How many spare transfers a driver keeps between calls: as many as it had in use at the
// busiest moment of the last window (at least a floor), so that a steady load never makes
// and frees them, and fewer again a window or two after the load has gone.

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace velmora::detail {

class SpareSizing {
public:
    using Clock = std::chrono::steady_clock;

    SpareSizing(std::size_t floor, Clock::duration window) : floor_(floor), window_(window) {}

    void took() noexcept { busiest_ = std::max(busiest_, ++inUse_); }
    void gave() noexcept { --inUse_; }
    std::size_t inUse() const noexcept { return inUse_; }
    // Spares to keep at most right now.
    std::size_t keep() const noexcept { return std::max({floor_, lastBusiest_, busiest_}); }
    std::size_t floor() const noexcept { return floor_; }
    Clock::time_point windowEnd() const noexcept { return windowEnd_; }

    // Starts a new window once the current one is over; true when it did, and the caller
    // frees spares beyond keep().
    bool roll(Clock::time_point now) noexcept {
        if (now < windowEnd_) return false;
        lastBusiest_ = busiest_;
        busiest_ = inUse_;
        windowEnd_ = now + window_;
        return true;
    }

private:
    std::size_t floor_;
    Clock::duration window_;
    std::size_t inUse_ = 0;
    std::size_t busiest_ = 0;      // the most in use at once in this window
    std::size_t lastBusiest_ = 0;  // the same in the last window
    Clock::time_point windowEnd_{};
};

}  // namespace velmora::detail
