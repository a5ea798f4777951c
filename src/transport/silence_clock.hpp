#pragma once
// The silence timeout of transfers: how long each has gone without data moving. Both drivers
// keep one, the I/O thread for all of its transfers and a blocking call for its one, so a
// call is cut off by the same rule whichever form made it.

#include <chrono>
#include <memory>
#include <vector>

namespace velmora::detail {

class SilenceClock {
public:
    using Clock = std::chrono::steady_clock;
    struct List;

    // One timed transfer. Entries of one timeout sit in a list ordered by last activity,
    // so only a list's head can be due.
    struct Entry {
        Clock::time_point lastActivity{};
        Entry* prev = nullptr;
        Entry* next = nullptr;
        List* list = nullptr;  // nullptr: not timed
    };

    SilenceClock();
    ~SilenceClock();
    SilenceClock(const SilenceClock&) = delete;
    SilenceClock& operator=(const SilenceClock&) = delete;

    // Times `entry` from now (stamped with the end of the current pass).
    void start(Entry& entry, std::chrono::nanoseconds timeout);
    static void stop(Entry& entry) noexcept;
    // Data moved for `entry`. Called from inside libcurl, many times a pass, so it reads no
    // clock: the pass's end stamps it (stampPass), which is never earlier than the activity,
    // so no transfer is cut off sooner than its timeout.
    static void touch(Entry& entry) noexcept;
    // The end of a pass over the network at `now`.
    void stampPass(Clock::time_point now) noexcept;

    // An entry silent for its whole timeout at `now` (the least recently active first);
    // nullptr when none is.
    Entry* due(Clock::time_point now) const noexcept;
    // A due entry was active at `at` after all (a moment before now that the clock had not
    // seen): it is timed from then.
    void renew(Entry& entry, Clock::time_point at) noexcept;
    // The time until the next entry can be due; `idle` when no entry is timed.
    Clock::duration untilNextDue(Clock::time_point now, Clock::duration idle) const noexcept;
    std::chrono::nanoseconds timeoutOf(const Entry& entry) const noexcept;
    // Any timed entry, to end everything at exit; nullptr when none.
    Entry* any() const noexcept;

private:
    std::vector<std::unique_ptr<List>> lists_;  // one per timeout in use
};

}  // namespace velmora::detail
