#pragma once
// The blocking driver: a blocking call runs its transfer on the caller's thread, which waits
// anyway, over a lane taken from a pool for the length of the call.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/curl_handles.hpp"
#include "transport/spare_pool.hpp"
#include "transport/target.hpp"
#include "transport/transfer.hpp"

namespace velmora::detail {

struct Lane;

// A lane is a transfer handle with a multi handle of its own to wait on, and the connection
// it keeps. The pool hands out the most recently used lane first, so a thread calling in a
// loop keeps one warm connection and TLS session; calls at the same moment get lanes of
// their own, since libcurl does not share a connection between threads. Lanes beyond what
// the busiest moment of the last ten seconds used (at least a few) are closed, with their
// connections: when a later call gives its lane back, or, with no call, when the runtime's
// housekeeping asks (trimIdle).
class BlockingDriver {
public:
    explicit BlockingDriver(CURLSH* share);
    ~BlockingDriver();
    BlockingDriver(const BlockingDriver&) = delete;
    BlockingDriver& operator=(const BlockingDriver&) = delete;

    // How the exchange ended; when it replied, `reply` holds the reply bytes. Without reply
    // data (refused, reset, silent past the target's timeout, too large, or the process is
    // ending) `reply` is left empty.
    ExchangeEnd perform(const Target& target, Endpoint endpoint, const std::string& body, std::string& reply);
    // Ends every transfer in progress and refuses new ones.
    void shutdown();

    // Closes the spare lanes beyond what the last windows used; returns when to ask again
    // (time_point::max() when nothing is left to close). Any thread; never blocks on a call.
    std::chrono::steady_clock::time_point trimIdle(std::chrono::steady_clock::time_point now);
    // Called (outside any lock) when spare lanes beyond the floor wait to be closed at the
    // given time and no call may come to close them. Set before the first call.
    void setTrimRequest(void (*request)(std::chrono::steady_clock::time_point)) noexcept { trimRequest_ = request; }

    long long connectionsOpened() const noexcept { return connectionsOpened_.load(std::memory_order_relaxed); }
    std::size_t spareLanes() const;

private:
    Lane* take();
    void give(Lane* lane);
    void takeSurplus(std::vector<std::unique_ptr<Lane>>& surplus);
    bool stopping() const noexcept { return stopping_.load(std::memory_order_acquire); }

    CURLSH* share_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::unique_ptr<Lane>> spare_;
    std::vector<Lane*> busy_;
    SpareSizing sizing_;
    std::atomic<bool> stopping_{false};
    bool trimRequested_ = false;  // a housekeeping call is due; under the mutex
    void (*trimRequest_)(std::chrono::steady_clock::time_point) = nullptr;
    std::atomic<long long> connectionsOpened_{0};
};

}  // namespace velmora::detail
