// The I/O thread's loop: takes new exchanges, admits them per server, drives the multi
// handle, ends the finished and the silent, and keeps its spare handles.

#include "transport/io_thread.hpp"

#include <algorithm>
#include <new>

namespace velmora::detail {

namespace {
constexpr long kMaxConnections = 256;
constexpr std::size_t kMinSpareHandles = 64;
constexpr std::chrono::seconds kSpareWindow{1};
}  // namespace

IoThread::IoThread(CURLSH* share, DeliveryQueue& delivery)
    : delivery_(delivery), multi_(curl_multi_init()), share_(share), sizing_(kMinSpareHandles, kSpareWindow) {
    CURLM* multi = multi_.get();
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    // No per-host limit in libcurl: HostAdmission keeps it. With both, a transfer that
    // libcurl found the host full for (a connection still closing counts) waited in its
    // pending list for a finished transfer to wake it, up to its timeout.
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 0L);
    curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, static_cast<long>(kStreamsPerConnection));
}

void IoThread::start(std::shared_ptr<Exchange> exchange, bool deferWake) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            ensureThread();
            incoming_.push_back(std::move(exchange));
        }
    }
    if (exchange) {
        // The process is ending: the exchange ends at once, without data.
        exchange->end_.code = CURLE_ABORTED_BY_CALLBACK;
        exchange->end_.stopped = true;
        exchange->finished();
        return;
    }
    if (deferWake && delivery_.onDeliveryThread()) {
        wakeHeld_ = true;
        return;
    }
    wake();
}

void IoThread::ensureThread() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void IoThread::advanceChore(Clock::time_point at) {
    const Clock::rep wanted = at.time_since_epoch().count();
    Clock::rep current = choreAt_.load(std::memory_order_relaxed);
    while (wanted < current && !choreAt_.compare_exchange_weak(current, wanted, std::memory_order_relaxed)) {
    }
}

void IoThread::scheduleChore(Clock::time_point at) {
    advanceChore(at);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        ensureThread();
    }
    wake();
}

void IoThread::runChore(Clock::time_point now) {
    const Clock::rep due = choreAt_.load(std::memory_order_relaxed);
    if (chore_ == nullptr || now.time_since_epoch().count() < due) return;
    choreAt_.store(Clock::time_point::max().time_since_epoch().count(), std::memory_order_relaxed);
    const auto next = chore_(now);
    if (next != Clock::time_point::max()) advanceChore(next);
}

void IoThread::releaseHeldWake() {
    if (!delivery_.onDeliveryThread() || !wakeHeld_) return;
    wakeHeld_ = false;
    wake();
}

void IoThread::wake() {
    // One wake-up per batch: the I/O thread clears the flag before it takes the batch.
    if (wakePending_.exchange(true, std::memory_order_acq_rel)) return;
    if (wakeFd_.fd() >= 0) {
        wakeFd_.signal();
    } else {
        curl_multi_wakeup(multi_.get());
    }
}

void IoThread::shutdown() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        thread = std::move(thread_);
    }
    wakePending_.store(false, std::memory_order_relaxed);
    wake();
    if (thread.joinable()) thread.join();
}

void IoThread::run() {
    while (true) {
        bool stop = false;
        wakePending_.store(false, std::memory_order_release);
        {
            std::lock_guard lock(mutex_);
            adding_.swap(incoming_);
            stop = stopping_;
        }
        if (stop) {
            // The process is ending: whatever is in flight or queued ends without data (its
            // completion never runs).
            for (auto& exchange : adding_) {
                exchange->end_.code = CURLE_ABORTED_BY_CALLBACK;
                exchange->end_.stopped = true;
                exchange->finished();
            }
            adding_.clear();
            finishAll();
            return;
        }
        {
            // Completions this pass finishes reach the delivery thread together.
            DeliveryQueue::Batch batch(delivery_);
            for (auto& exchange : adding_) admit(std::move(exchange));
            adding_.clear();
            int running = 0;
            curl_multi_perform(multi_.get(), &running);
            finishDone();
            admission_.releaseConnected([this](std::shared_ptr<Exchange> next) {
                if (!next->ended_) begin(std::move(next));  // an ended one timed out while waiting
            });
            const auto now = Clock::now();
            silence_.stampPass(now);
            expireSilent(now);
            trimSpares(now);
            runChore(now);
            spareHandles_.store(static_cast<long long>(spares_.size()), std::memory_order_relaxed);
        }
        waitForWork();
    }
}

void IoThread::waitForWork() {
    // Nothing periodic: with no exchange in flight the thread sleeps until woken, except to
    // free the spare handles of a busier moment once their window is over.
    const auto now = Clock::now();
    Clock::duration wait = silence_.untilNextDue(now, std::chrono::hours(24));
    if (spares_.size() > sizing_.floor()) wait = std::min(wait, sizing_.windowEnd() - now);
    const Clock::time_point choreAt{Clock::duration(choreAt_.load(std::memory_order_relaxed))};
    if (choreAt != Clock::time_point::max()) wait = std::min(wait, choreAt - now);
    const int timeoutMs = pollMs(wait);
    if (wakeFd_.fd() < 0) {
        curl_multi_poll(multi_.get(), nullptr, 0, timeoutMs, nullptr);
        return;
    }
    curl_waitfd wakeFd{wakeFd_.fd(), CURL_WAIT_POLLIN, 0};
    curl_multi_poll(multi_.get(), &wakeFd, 1, timeoutMs, nullptr);
    if (wakeFd.revents != 0) wakeFd_.drain();
}

void IoThread::admit(std::shared_ptr<Exchange> exchange) {
    Exchange& x = *exchange;
    auto& host = admission_.host(x.target_->hostKey, x.target_->https);
    x.host_ = &host;
    x.transfer_.owner = &x;
    x.transfer_.reset(connections_);
    x.transfer_.onConnected = &IoThread::onConnected;
    x.transfer_.onOpening = &IoThread::onOpening;
    // Its silence is timed from now, as if it were on the wire: the wait for a turn is part
    // of what the caller sees.
    silence_.start(x.transfer_, x.target_->idleTimeout);
    if (Admission::admits(host)) {
        begin(std::move(exchange));
        return;
    }
    x.self_ = exchange;
    Admission::wait(host, std::move(exchange));
}

void IoThread::begin(std::shared_ptr<Exchange> exchange) {
    Exchange& x = *exchange;
    x.self_ = std::move(exchange);
    auto& host = *static_cast<Admission::Host*>(x.host_);
    CURL* easy = takeHandle(*x.target_);
    if (easy == nullptr) {
        finish(x, CURLE_OUT_OF_MEMORY);
        return;
    }
    if (!errorBuffers_.empty()) {
        x.transfer_.errorText = errorBuffers_.back().release();
        errorBuffers_.pop_back();
    } else {
        x.transfer_.errorText = new (std::nothrow) char[CURL_ERROR_SIZE];
    }
    bindTransfer(easy, x.transfer_, x.target_->url(x.endpoint_), x.body_);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &x);
    if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
        returnHandle(easy, x.target_);
        finish(x, CURLE_FAILED_INIT);
        return;
    }
    x.easy_ = easy;
    Admission::started(host);
    sizing_.took();
}

void IoThread::detach(Exchange& x) {
    curl_easy_setopt(x.easy_, CURLOPT_ERRORBUFFER, nullptr);
    curl_multi_remove_handle(multi_.get(), x.easy_);
    returnHandle(x.easy_, x.target_);
    x.easy_ = nullptr;
    auto& host = *static_cast<Admission::Host*>(x.host_);
    Admission::finished(host);
    Admission::left(host, x.streamPort_, x.opener_);
    x.streamPort_ = -1;
    sizing_.gave();
    if (x.transfer_.errorText != nullptr) {
        std::unique_ptr<char[]> buffer(x.transfer_.errorText);
        x.transfer_.errorText = nullptr;
        try {
            errorBuffers_.push_back(std::move(buffer));
        } catch (...) {
        }
    }
}

void IoThread::finish(Exchange& x, CURLcode code, bool stopped) {
    SilenceClock::stop(x.transfer_);
    x.end_.code = code;
    x.end_.stopped = stopped;
    Admission::Host* freed = nullptr;
    if (x.easy_ != nullptr) {
        readEnd(x.easy_, x.transfer_, x.end_);
        freed = static_cast<Admission::Host*>(x.host_);
        detach(x);
    }
    if (!x.end_.replied()) std::string().swap(x.transfer_.reply);
    x.ended_ = true;
    auto self = std::move(x.self_);
    self->finished();
    if (freed != nullptr && !draining_) {
        Admission::releaseWaiting(*freed, [this](std::shared_ptr<Exchange> next) {
            if (!next->ended_) begin(std::move(next));
        });
    }
}

void IoThread::holdBack(Exchange& x) {
    // Nothing was sent: it waits for its turn again, its silence clock still running, and
    // keeps its own reference as a waiting call does, for an end that comes while it waits.
    x.heldBack_ = false;
    detach(x);
    Admission::waitFirst(*static_cast<Admission::Host*>(x.host_), x.self_);
}

void IoThread::finishDone() {
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &queued)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Exchange* x = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&x));
        if (x->heldBack_) {
            heldBack_.push_back(x);  // it never connected
            continue;
        }
        connectionsOpened_.fetch_add(connectionsMade(msg->easy_handle), std::memory_order_relaxed);
        long version = 0;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_HTTP_VERSION, &version);
        auto& host = *static_cast<Admission::Host*>(x->host_);
        if (version == CURL_HTTP_VERSION_2_0) {
            Admission::learned(host, Admission::Protocol::multiplexed);
        } else if (version == CURL_HTTP_VERSION_1_1 || version == CURL_HTTP_VERSION_1_0) {
            Admission::learned(host, Admission::Protocol::http1);
        }
        finish(*x, msg->data.result);
    }
    // Each goes back ahead of those waiting, so the last first: they keep their order.
    for (auto it = heldBack_.rbegin(); it != heldBack_.rend(); ++it) holdBack(**it);
    heldBack_.clear();
}

void IoThread::expireSilent(Clock::time_point now) {
    while (SilenceClock::Entry* entry = silence_.due(now)) {
        auto& transfer = static_cast<Transfer&>(*entry);
        if (!renewFromConnection(silence_, transfer)) finish(exchangeOf(transfer), CURLE_OPERATION_TIMEDOUT);
    }
}

void IoThread::finishAll() {
    draining_ = true;
    while (SilenceClock::Entry* entry = silence_.any()) {
        finish(exchangeOf(static_cast<Transfer&>(*entry)), CURLE_ABORTED_BY_CALLBACK, /*stopped=*/true);
    }
}

void IoThread::onConnected(Transfer& transfer) {
    // Inside libcurl: only noted; the waiting calls are started after this pass.
    Exchange& x = exchangeOf(transfer);
    auto& host = *static_cast<Admission::Host*>(x.host_);
    x.heldBack_ = false;  // its request goes out: however it ends, it is not to be sent again
    Admission::connected(host);
    x.streamPort_ = Admission::placed(host, x.streamPort_, transfer.localPort, x.opener_);
}

bool IoThread::onOpening(Transfer& transfer) {
    // libcurl may try one address after another: what counts is the last attempt's answer.
    Exchange& x = exchangeOf(transfer);
    x.heldBack_ = !Admission::mayOpen(*static_cast<Admission::Host*>(x.host_), x.opener_);
    return !x.heldBack_;
}

CURL* IoThread::takeHandle(const Target& target) {
    EasyHandle easy;
    if (!spares_.empty()) {
        SpareHandle& spare = spares_.back();
        const bool same = sameTrust(*spare.trustedFor, target);
        easy = std::move(spare.easy);
        spares_.pop_back();
        if (same) return easy.release();
        curl_easy_reset(easy.get());
    } else {
        easy.reset(curl_easy_init());
        if (!easy) return nullptr;
    }
    configureTransfer(easy.get(), target, share_, connections_);
    return easy.release();
}

void IoThread::returnHandle(CURL* easy, const std::shared_ptr<const Target>& target) {
    EasyHandle owned(easy);
    if (spares_.size() >= sizing_.keep()) return;
    try {
        spares_.push_back({std::move(owned), target});
    } catch (...) {
    }
}

void IoThread::trimSpares(Clock::time_point now) {
    if (!sizing_.roll(now)) return;
    while (spares_.size() > sizing_.keep()) spares_.pop_back();
    if (errorBuffers_.size() > sizing_.keep()) errorBuffers_.resize(sizing_.keep());
}

}  // namespace velmora::detail
