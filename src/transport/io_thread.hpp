#pragma once
// The I/O thread: one for the process, it drives every non-blocking call through a libcurl
// multi handle, keeping connections (and HTTP/2 streams) alive between calls, and hands each
// finished exchange to the delivery queue.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wakeup.hpp"
#include "transport/curl_handles.hpp"
#include "transport/exchange.hpp"
#include "transport/host_admission.hpp"
#include "transport/silence_clock.hpp"
#include "transport/spare_pool.hpp"
#include "transport/transfer.hpp"

namespace velmora::detail {

class IoThread {
public:
    using Clock = std::chrono::steady_clock;

    IoThread(CURLSH* share, DeliveryQueue& delivery);
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    // Any thread; see startExchange.
    void start(std::shared_ptr<Exchange> exchange, bool deferWake);
    // Wakes the I/O thread for a start that a completion deferred, if the calling thread is
    // the delivery thread and holds one.
    void releaseHeldWake();
    // Ends everything in flight or queued (no completion runs) and the thread.
    void shutdown();
    // Housekeeping for others that has no thread of its own: `chore(now)` runs on the I/O
    // thread at `at` (or at the earliest of several requests) and returns when it wants to
    // run again (time_point::max(): not again). Any thread; starts the thread if need be.
    using Chore = Clock::time_point (*)(Clock::time_point now);
    void setChore(Chore chore) noexcept { chore_ = chore; }
    void scheduleChore(Clock::time_point at);

    // Connections opened so far, and the spare transfer handles as of the last pass.
    long long connectionsOpened() const noexcept { return connectionsOpened_.load(std::memory_order_relaxed); }
    long long spareHandles() const noexcept { return spareHandles_.load(std::memory_order_relaxed); }

private:
    using Admission = HostAdmission<std::shared_ptr<Exchange>>;

    void wake();
    void ensureThread();  // under mutex_
    void run();
    void runChore(Clock::time_point now);
    void advanceChore(Clock::time_point at);
    void waitForWork();
    void admit(std::shared_ptr<Exchange> exchange);
    void begin(std::shared_ptr<Exchange> exchange);
    void finish(Exchange& x, CURLcode code, bool stopped = false);
    void finishDone();
    void expireSilent(Clock::time_point now);
    void finishAll();
    CURL* takeHandle(const Target& target);
    void returnHandle(CURL* easy, const std::shared_ptr<const Target>& target);
    void trimSpares(Clock::time_point now);
    void holdBack(Exchange& x);
    void detach(Exchange& x);
    static void onConnected(Transfer& transfer);
    static bool onOpening(Transfer& transfer);
    static Exchange& exchangeOf(Transfer& transfer) { return *static_cast<Exchange*>(transfer.owner); }

    DeliveryQueue& delivery_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Exchange>> incoming_;
    bool stopping_ = false;
    std::atomic<bool> wakePending_{false};
    bool wakeHeld_ = false;  // the delivery thread's: a start it deferred
    std::thread thread_;
    Chore chore_ = nullptr;
    std::atomic<Clock::rep> choreAt_{Clock::time_point::max().time_since_epoch().count()};

    MultiHandle multi_;
    CURLSH* share_;
    WakeFd wakeFd_;  // where it has none, libcurl's own wake-up is used

    // The I/O thread's alone.
    std::vector<std::shared_ptr<Exchange>> adding_;
    std::vector<Exchange*> heldBack_;  // of this pass, in the order they went out
    // Handles between transfers, each with the target whose trust it is configured for: a
    // handle taken for the same trust keeps its options, and only what differs per call is
    // set again.
    struct SpareHandle {
        EasyHandle easy;
        std::shared_ptr<const Target> trustedFor;
    };
    std::vector<SpareHandle> spares_;
    // Error buffers for the transfers on the wire, kept between them like the handles: a
    // call waiting for its turn holds none, so thousands in flight do not cost one each.
    std::vector<std::unique_ptr<char[]>> errorBuffers_;
    SpareSizing sizing_;
    SilenceClock silence_;
    ConnectionLog connections_;
    Admission admission_;
    bool draining_ = false;  // ending everything: start nothing new

    std::atomic<long long> connectionsOpened_{0};
    std::atomic<long long> spareHandles_{0};
};

}  // namespace velmora::detail
