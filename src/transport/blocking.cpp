// Blocking calls on the caller's thread: the pool of lanes and one transfer driven on a
// lane's own multi handle until it ends or falls silent.

#include "transport/blocking.hpp"

#include <algorithm>
#include <iterator>
#include <optional>

#include "transport/silence_clock.hpp"
#include "transport/transfer.hpp"

namespace velmora::detail {

namespace {
constexpr std::size_t kMinSpareLanes = 4;
// Long enough that threads which call together on a timer every few seconds find their
// lanes, connections and TLS sessions again at the next tick instead of opening them anew.
constexpr std::chrono::seconds kSpareWindow{10};
}  // namespace

struct Lane {
    // Destroyed in reverse: the multi handle closes the lane's connections, which report to
    // the log, before the log goes.
    ConnectionLog connections;
    SilenceClock silence;
    EasyHandle easy{curl_easy_init()};
    MultiHandle multi{curl_multi_init()};
    std::shared_ptr<const Target> trust;  // what `easy` is configured for; null until first use
    char errorText[CURL_ERROR_SIZE] = {};
};

BlockingDriver::BlockingDriver(CURLSH* share) : share_(share), sizing_(kMinSpareLanes, kSpareWindow) {}

BlockingDriver::~BlockingDriver() = default;

Lane* BlockingDriver::take() {
    std::unique_ptr<Lane> lane;
    {
        std::lock_guard lock(mutex_);
        if (stopping()) return nullptr;
        if (!spare_.empty()) {
            lane = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!lane) {
        try {
            lane = std::make_unique<Lane>();
        } catch (...) {
            return nullptr;
        }
        if (!lane->easy || !lane->multi) return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (stopping()) {
        spare_.push_back(std::move(lane));  // the process is ending: the lane is left as it is
        return nullptr;
    }
    busy_.push_back(lane.get());
    sizing_.took();
    return lane.release();
}

void BlockingDriver::give(Lane* given) {
    std::unique_ptr<Lane> lane(given);
    std::vector<std::unique_ptr<Lane>> surplus;
    std::optional<std::chrono::steady_clock::time_point> askAt;
    {
        std::lock_guard lock(mutex_);
        busy_.erase(std::find(busy_.begin(), busy_.end(), given));
        sizing_.gave();
        spare_.push_back(std::move(lane));
        if (!stopping()) {
            sizing_.roll(std::chrono::steady_clock::now());
            takeSurplus(surplus);
            if (spare_.size() > sizing_.floor() && !trimRequested_) {
                trimRequested_ = true;
                askAt = sizing_.windowEnd();
            }
        }
        if (busy_.empty()) idle_.notify_all();
    }
    if (askAt && trimRequest_ != nullptr) trimRequest_(*askAt);
    // `surplus` closes here, outside the lock, with its connections.
}

void BlockingDriver::takeSurplus(std::vector<std::unique_ptr<Lane>>& surplus) {
    // The least recently used go first.
    const std::size_t keep = sizing_.keep();
    if (spare_.size() <= keep) return;
    const auto end = spare_.begin() + static_cast<std::ptrdiff_t>(spare_.size() - keep);
    std::move(spare_.begin(), end, std::back_inserter(surplus));
    spare_.erase(spare_.begin(), end);
}

std::chrono::steady_clock::time_point BlockingDriver::trimIdle(std::chrono::steady_clock::time_point now) {
    std::vector<std::unique_ptr<Lane>> surplus;
    std::unique_lock lock(mutex_);
    if (!stopping()) {
        sizing_.roll(now);
        takeSurplus(surplus);
    }
    trimRequested_ = !stopping() && spare_.size() > sizing_.floor();
    const auto next = trimRequested_ ? sizing_.windowEnd() : std::chrono::steady_clock::time_point::max();
    lock.unlock();
    return next;  // `surplus` closes here, with its connections
}

std::size_t BlockingDriver::spareLanes() const {
    std::lock_guard lock(mutex_);
    return spare_.size();
}

void BlockingDriver::shutdown() {
    std::unique_lock lock(mutex_);
    stopping_.store(true, std::memory_order_release);
    // A busy lane's handles stay alive until it is given back.
    for (Lane* lane : busy_) curl_multi_wakeup(lane->multi.get());
    // Each transfer sees the flag at its next wake-up and ends at once; the bound only
    // matters for one stuck in a name lookup that cannot be interrupted.
    idle_.wait_for(lock, std::chrono::seconds(5), [this] { return busy_.empty(); });
}

ExchangeEnd BlockingDriver::perform(const Target& t, Endpoint endpoint, const std::string& body, std::string& reply) {
    ExchangeEnd end;
    Lane* lane = take();
    if (lane == nullptr) {
        end.stopped = stopping();
        end.code = end.stopped ? CURLE_ABORTED_BY_CALLBACK : CURLE_OUT_OF_MEMORY;
        return end;
    }
    CURL* easy = lane->easy.get();
    CURLM* multi = lane->multi.get();
    if (!lane->trust || !sameTrust(*lane->trust, t)) {
        curl_easy_reset(easy);
        configureTransfer(easy, t, share_, lane->connections);
        lane->trust = std::make_shared<const Target>(t);
    }
    Transfer transfer;
    transfer.reset(lane->connections);
    transfer.errorText = lane->errorText;
    lane->silence.start(transfer, t.idleTimeout);
    bindTransfer(easy, transfer, t.url(endpoint), body);

    end.code = CURLE_FAILED_INIT;
    if (curl_multi_add_handle(multi, easy) == CURLM_OK) {
        while (true) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            bool done = false;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                end.code = msg->data.result;
                done = true;
            }
            if (done) break;
            if (stopping()) {
                end.code = CURLE_ABORTED_BY_CALLBACK;
                end.stopped = true;
                break;
            }
            // The timeout bounds silence, not the exchange: a reply that keeps moving is
            // never cut off.
            const auto now = SilenceClock::Clock::now();
            lane->silence.stampPass(now);
            if (lane->silence.due(now) != nullptr && !renewFromConnection(lane->silence, transfer)) {
                end.code = CURLE_OPERATION_TIMEDOUT;
                break;
            }
            const auto wait = lane->silence.untilNextDue(now, std::chrono::hours(24));
            curl_multi_poll(multi, nullptr, 0, pollMs(wait), nullptr);
        }
        readEnd(easy, transfer, end);
        curl_multi_remove_handle(multi, easy);
        connectionsOpened_.fetch_add(connectionsMade(easy), std::memory_order_relaxed);
    }
    SilenceClock::stop(transfer);
    // The body and the reply buffer are this call's; leave no pointer to them behind.
    unbindTransfer(easy);
    give(lane);
    if (end.replied()) reply = std::move(transfer.reply);
    return end;
}

}  // namespace velmora::detail
