#pragma once
// The process's one HTTP session: an I/O thread that drives every exchange through a
// libcurl multi handle, keeping connections (and HTTP/2 streams) alive between calls.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/delivery_queue.hpp"
#include "core/endpoints.hpp"

namespace velmora::detail {

inline constexpr std::size_t kMaxReplyBytes = 64u << 20;  // a larger reply counts as no data

class HttpSession;

// One request and its reply, shared by the caller's side and the I/O thread until both are
// done with it.
class Exchange : public Deliverable, public std::enable_shared_from_this<Exchange> {
public:
    Exchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body);
    ~Exchange() override;

    // Valid once finished() has run: whether reply data arrived (the transfer completed),
    // and the reply body.
    bool gotReply() const noexcept { return gotReply_; }
    std::string& reply() noexcept { return reply_; }

    void deliver() override {}

protected:
    // The exchange has ended; runs on the I/O thread (or on the starting thread when the
    // session has already shut down). Must not run application code.
    virtual void finished() = 0;

private:
    friend class HttpSession;
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<const Target> target_;
    Endpoint endpoint_;
    std::string body_;
    std::string reply_;
    bool gotReply_ = false;

    // I/O thread bookkeeping.
    std::shared_ptr<Exchange> self_;  // the session's reference while in flight
    void* easy_ = nullptr;
    Clock::time_point lastActivity_{};
    Exchange* prev_ = nullptr;  // in the idle list of its timeout, least recently active first
    Exchange* next_ = nullptr;
    struct IdleList* list_ = nullptr;
    struct HostSlots* host_ = nullptr;
    bool ended_ = false;  // finished() has run (an exchange may end while it waits its turn)
    long long uploaded_ = 0;
};

// Hands the exchange to the I/O thread. Any thread. With `deferWake`, a start made by a
// completion on the delivery thread wakes the I/O thread only once the completions taken
// with it have run, so a run of completions that each start a call costs one wake-up
// (and one switch of threads) instead of one each. Never for an exchange someone waits on.
void startExchange(std::shared_ptr<Exchange> exchange, bool deferWake = false);

// Runs one exchange on the calling thread and waits for it: the reply bytes, or nullopt
// when it ended without reply data (refused, reset, silent past the target's timeout, too
// large, or the process is ending). Any thread, including the delivery thread.
std::optional<std::string> performBlocking(const Target& target, Endpoint endpoint, const std::string& body);

// The delivery queue of the process (started on first use).
DeliveryQueue& deliveryQueue();

// Observability for tests and benchmarks.
struct SessionStats {
    long long exchangesStarted = 0;
    long long connectionsOpened = 0;
    long long spareTransferHandles = 0;
};
SessionStats sessionStats();

}  // namespace velmora::detail
