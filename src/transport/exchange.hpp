#pragma once
// One non-blocking call's request and reply, shared by the caller's side and the I/O thread
// until both are done with it, and the way to hand it to the I/O thread.

#include <memory>
#include <string>

#include "dispatch/delivery_queue.hpp"
#include "transport/target.hpp"
#include "transport/transfer.hpp"

namespace velmora::detail {

class IoThread;

class Exchange : public Deliverable, public std::enable_shared_from_this<Exchange> {
public:
    Exchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body);
    ~Exchange() override;

    // Valid once finished() has run: whether reply data arrived (the transfer completed),
    // the reply body, and how the exchange ended.
    bool gotReply() const noexcept { return end_.replied(); }
    std::string& reply() noexcept { return transfer_.reply; }
    const ExchangeEnd& end() const noexcept { return end_; }
    const Target& target() const noexcept { return *target_; }
    Endpoint endpoint() const noexcept { return endpoint_; }

    void deliver() override {}

protected:
    // The exchange has ended; runs on the I/O thread (or on the starting thread when the
    // process is ending). Must not run application code.
    virtual void finished() = 0;

private:
    friend class IoThread;

    std::shared_ptr<const Target> target_;
    Endpoint endpoint_;
    std::string body_;
    ExchangeEnd end_;

    // The I/O thread's, while the exchange is in its hands.
    Transfer transfer_;
    std::shared_ptr<Exchange> self_;  // the I/O thread's reference while in flight
    CURL* easy_ = nullptr;
    void* host_ = nullptr;  // its server's admission state
    long streamPort_ = -1;  // the connection its server's admission counts it on
    bool opener_ = false;   // it is setting up a connection to its server
    bool heldBack_ = false; // it gave up its turn before a connection: it waits again
    bool ended_ = false;    // finished() has run (an exchange may end while it waits its turn)
};

// Hands the exchange to the I/O thread. Any thread. With `deferWake`, a start made by a
// completion on the delivery thread wakes the I/O thread only once the completions taken
// with it have run, so a run of completions that each start a call costs one wake-up
// (and one switch of threads) instead of one each. Never for an exchange someone waits on.
void startExchange(std::shared_ptr<Exchange> exchange, bool deferWake = false);

}  // namespace velmora::detail
