#include "core/http_session.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <unordered_map>
#include <mutex>
#include <thread>
#include <vector>

#include <curl/curl.h>

#if defined(__linux__)
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace velmora::detail {

struct IdleList {
    std::chrono::nanoseconds timeout{};
    Exchange* head = nullptr;
    Exchange* tail = nullptr;
};

// The transfers of one server. Beyond what its connections can carry at once (one request
// per HTTP/1.1 connection, many streams on an HTTP/2 one), exchanges wait here in order,
// each without a transfer handle, rather than in libcurl's pending list: that list costs a
// search of the connections at every step and a full transfer handle per waiting call,
// and wakes one waiting transfer per finished one, so a transfer whose wake-up another
// took can wait there until its timeout.
struct HostSlots {
    // Over TLS a server may or may not offer HTTP/2, which libcurl learns when the first
    // connection's handshake ends: until then one call goes out, and the rest follow at
    // once after it, multiplexed onto that connection or each on its own (`connected`).
    enum class Protocol { unknown, http1, multiplexed };
    int running = 0;
    Protocol protocol = Protocol::unknown;
    bool connected = false;  // a connection to it has been set up
    bool release = false;    // connected since the last look: start what waits
    std::deque<std::shared_ptr<Exchange>> waiting;
};

class HttpSession {
public:
    explicit HttpSession(CURLSH* share);
    ~HttpSession() = delete;  // lives until the process ends; see runtime()

    void start(std::shared_ptr<Exchange> exchange, bool deferWake);
    void wake() {
        // One wake-up per batch: the I/O thread clears the flag before it takes the batch.
        if (!wakePending_.exchange(true, std::memory_order_acq_rel)) signal();
    }
    void shutdown();

    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* user);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);
    static int onConnected(void* user, char*, char*, int, int);

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void signal();
    void waitForWork();
    void addTransfers();
    HostSlots& hostOf(const Target& target);
    static int limitOf(const HostSlots& host);
    void startWaiting(HostSlots& host);
    void begin(std::shared_ptr<Exchange> exchange);
    void finish(Exchange& x, bool gotReply);
    void stampPass(Clock::time_point now);
    void expireIdle(Clock::time_point now);
    int pollTimeoutMs(Clock::time_point now) const;
    static void touch(Exchange& x);
    void link(Exchange& x);
    static void unlink(Exchange& x);
    CURL* takeHandle(const Target& target);
    void returnHandle(CURL* easy, const std::shared_ptr<const Target>& target);
    void finishAll();
    void trimSpares(Clock::time_point now);

    std::mutex mutex_;
    std::vector<std::shared_ptr<Exchange>> incoming_;
    bool stopping_ = false;
    bool stopped_ = false;
    std::atomic<bool> wakePending_{false};

    CURLM* multi_ = nullptr;
    CURLSH* share_ = nullptr;
    // Wakes the I/O thread out of its poll. An eventfd costs one write and one read per
    // wake-up; libcurl's own wake-up is a socket pair it drains until it would block, two
    // socket reads and a socket write. -1 where there is none: libcurl's is used.
    int wakeFd_ = -1;
    std::thread thread_;
    std::thread::id threadId_;

    // I/O thread only.
    std::vector<std::shared_ptr<Exchange>> adding_;
    // Handles between transfers, each with the trust it is configured for: a handle taken
    // for the same trust keeps its options, and only what differs per call is set again.
    struct SpareHandle {
        CURL* easy;
        std::shared_ptr<const Target> trustedFor;  // the target whose caFile it was set up with
    };
    std::vector<SpareHandle> spareHandles_;
    // The pool keeps as many spares as there were transfers at the busiest moment of the
    // last second, so that a steady load never makes and frees handles (over HTTP/2 with
    // hundreds of calls in flight, a fixed pool of 64 had most calls make one), and it
    // shrinks back a second or two after the load does.
    std::size_t transfers_ = 0;      // exchanges holding a transfer handle now
    std::size_t busiest_ = 0;        // the most transfers at once in this window
    std::size_t sparesKept_ = 0;     // the most in the last window
    Clock::time_point windowEnd_{};
    std::vector<std::unique_ptr<IdleList>> idleLists_;
    std::unordered_map<std::string, HostSlots> hosts_;  // elements never move
    bool draining_ = false;  // ending everything: start nothing new
    bool releasePending_ = false;  // some host's `release` is set
};

namespace {

using Clock = std::chrono::steady_clock;

// The last activity of an exchange that was active in the I/O thread's current pass over
// the network: the pass's end stamps it (stampPass). A call's header lines and data chunks
// each count as activity, and one clock read per pass replaces one per callback; the stamp
// is later than the activity by at most the pass, so no exchange is cut off early.
constexpr Clock::time_point kThisPass = Clock::time_point::max();

std::atomic<long long> exchangesStarted{0};
std::atomic<long long> connectionsOpened{0};
std::atomic<long long> spareTransferHandles{0};  // the I/O thread's, as of its last pass

void countConnections(CURL* easy) {
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    connectionsOpened.fetch_add(connects, std::memory_order_relaxed);
}

// Caches libcurl keeps across transfers. The I/O thread's share holds name lookups and TLS
// sessions (a new connection resumes a session another one negotiated) and needs no locks:
// only that thread uses it. The blocking callers' share is used from many threads at once
// and holds name lookups only: resuming one TLS session from several threads at once is
// not something to rely on, and each lane keeps its connection (and so its session) anyway.
class SharedCaches {
public:
    enum class Use { ioThread, anyThread };
    explicit SharedCaches(Use use) {
        share_ = curl_share_init();
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        if (use == Use::ioThread) {
            curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        } else {
            curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedCaches::lock);
            curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedCaches::unlock);
            curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        }
    }
    CURLSH* handle() const noexcept { return share_; }

private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<SharedCaches*>(user)->locks_[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        static_cast<SharedCaches*>(user)->locks_[data].unlock();
    }

    CURLSH* share_ = nullptr;
    std::mutex locks_[CURL_LOCK_DATA_LAST];
};

// A transfer handle with a multi handle of its own to wait on, and the connections it has
// kept open. Used by one blocking call at a time, on that call's thread.
struct Lane {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    bool configured = false;
    std::string caFile;  // the trust `easy` is configured with
};

// Blocking exchanges run on their caller's thread, which waits anyway: no hand-off to the
// I/O thread and back. Each takes a lane from a pool for the length of the call (the most
// recently used first, so a thread calling in a loop keeps one warm connection) and gives
// it back; concurrent callers get lanes of their own, since libcurl does not share a
// connection between threads. The pool knows every lane in use so that the process's exit
// can end those transfers before the TLS library is torn down.
class BlockingLanes {
public:
    // A lane for one call; nullptr once the process is ending (or out of memory).
    Lane* take();
    void give(Lane* lane);
    bool stopping() const noexcept { return stopping_.load(std::memory_order_acquire); }
    // Ends every transfer in progress and refuses new ones.
    void shutdown();

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<Lane*> spare_;
    std::vector<Lane*> busy_;
    std::atomic<bool> stopping_{false};
};

// The session and the delivery queue live until the process ends. A guard made after
// libcurl (and so OpenSSL) has registered its own exit handlers stops every transfer and
// both threads first, so nothing touches a connection while the TLS library is torn down.
struct Runtime {
    SharedCaches ioCaches{SharedCaches::Use::ioThread};
    SharedCaches callerCaches{SharedCaches::Use::anyThread};
    DeliveryQueue delivery;
    HttpSession* session = nullptr;
    BlockingLanes blocking;
};

// A start deferred by a completion on the delivery thread (see startExchange).
thread_local bool wakeHeld = false;
void releaseHeldWake();

Runtime& runtime() {
    static Runtime* rt = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        auto* r = new Runtime();
        r->session = new HttpSession(r->ioCaches.handle());
        r->delivery.setAfterItems(&releaseHeldWake);
        return r;
    }();
    static struct ExitGuard {
        ~ExitGuard() {
            rt->blocking.shutdown();
            rt->session->shutdown();
            rt->delivery.shutdown();
        }
    } guard;
    return *rt;
}

void releaseHeldWake() {
    if (!wakeHeld) return;
    wakeHeld = false;
    runtime().session->wake();
}

constexpr long kMaxConnectionsPerHost = 64;
constexpr long kMaxConnections = 256;
constexpr long kMaxStreamsPerConnection = 1000;
constexpr curl_off_t kProgressBodyBytes = 64 * 1024;  // larger bodies report upload progress
constexpr std::size_t kMinSpareHandles = 64;
constexpr std::chrono::seconds kSpareWindow{1};

// The one header the library adds. "Expect:" with no value stops libcurl from waiting for
// a 100 Continue that services of this kind never send.
curl_slist* requestHeaders() {
    static curl_slist* const headers = [] {
        curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
        return curl_slist_append(list, "Expect:");
    }();
    return headers;
}

// What every transfer of a target has in common, whichever thread runs it.
void configureTransfer(CURL* easy, const Target& t, CURLSH* share) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, requestHeaders());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    // Verification stays on; a CA file adds trust for a private service.
    if (!t.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, t.caFile.c_str());
}

// Appends a piece of a reply, within the cap; false when the reply is too large or memory
// runs out, which ends the exchange without data.
bool appendReply(std::string& reply, const char* data, std::size_t n) noexcept {
    if (reply.size() + n > kMaxReplyBytes) return false;
    try {
        reply.append(data, n);
    } catch (...) {
        return false;
    }
    return true;
}

// A wait until `remaining` has passed, in the whole milliseconds `curl_multi_poll` takes,
// rounded up so that a deadline is never polled for too early.
int pollMs(std::chrono::nanoseconds remaining) {
    if (remaining <= std::chrono::nanoseconds::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

void setRequest(CURL* easy, const std::string& url, const std::string& body) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
}

}  // namespace

Exchange::Exchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body)
    : target_(std::move(target)), endpoint_(endpoint), body_(std::move(body)) {}

Exchange::~Exchange() = default;

void startExchange(std::shared_ptr<Exchange> exchange, bool deferWake) {
    runtime().session->start(std::move(exchange), deferWake);
}

DeliveryQueue& deliveryQueue() { return runtime().delivery; }

SessionStats sessionStats() {
    return {exchangesStarted.load(std::memory_order_relaxed), connectionsOpened.load(std::memory_order_relaxed),
            spareTransferHandles.load(std::memory_order_relaxed)};
}

HttpSession::HttpSession(CURLSH* share) : share_(share) {
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    // No per-host limit in libcurl: the session keeps its own (HostSlots). With both at 64,
    // a transfer that libcurl found the host full for (a connection still closing counts)
    // waited in its pending list for a finished transfer to wake it, up to its timeout.
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 0L);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
    curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, kMaxStreamsPerConnection);
#if defined(__linux__)
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
}

void HttpSession::signal() {
#if defined(__linux__)
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        // Cannot fail short of the counter's overflow, which a pending wake-up already covers.
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
        return;
    }
#endif
    curl_multi_wakeup(multi_);
}

void HttpSession::waitForWork() {
    const int timeoutMs = pollTimeoutMs(Clock::now());
#if defined(__linux__)
    if (wakeFd_ >= 0) {
        curl_waitfd wakeFd{wakeFd_, CURL_WAIT_POLLIN, 0};
        curl_multi_poll(multi_, &wakeFd, 1, timeoutMs, nullptr);
        if (wakeFd.revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
        }
        return;
    }
#endif
    curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
}

void HttpSession::start(std::shared_ptr<Exchange> exchange, bool deferWake) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            exchangesStarted.fetch_add(1, std::memory_order_relaxed);
            if (!thread_.joinable()) {
                thread_ = std::thread([this] { run(); });
                threadId_ = thread_.get_id();
            }
            incoming_.push_back(std::move(exchange));
            exchange = nullptr;
        }
    }
    if (exchange) {
        // The process is ending: the exchange ends at once, without data.
        exchange->gotReply_ = false;
        exchange->finished();
        return;
    }
    if (deferWake && runtime().delivery.onDeliveryThread()) {
        wakeHeld = true;
        return;
    }
    wake();
}

void HttpSession::shutdown() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        thread = std::move(thread_);
    }
    signal();
    if (thread.joinable()) thread.join();
}

void HttpSession::run() {
    int running = 0;
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
                exchange->gotReply_ = false;
                exchange->finished();
            }
            adding_.clear();
            finishAll();
            return;
        }
        {
            // Completions this pass finishes reach the delivery thread together.
            DeliveryQueue::Batch batch(runtime().delivery);
            addTransfers();
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Exchange* x = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&x));
                countConnections(msg->easy_handle);
                long version = 0;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_HTTP_VERSION, &version);
                if (version == CURL_HTTP_VERSION_2_0) {
                    x->host_->protocol = HostSlots::Protocol::multiplexed;
                } else if (version == CURL_HTTP_VERSION_1_1 || version == CURL_HTTP_VERSION_1_0) {
                    x->host_->protocol = HostSlots::Protocol::http1;
                }
                const bool ok = msg->data.result == CURLE_OK;
                finish(*x, ok);
            }
            if (releasePending_) {
                releasePending_ = false;
                for (auto& [key, host] : hosts_) {
                    if (!host.release) continue;
                    host.release = false;
                    startWaiting(host);
                }
            }
            const auto now = Clock::now();
            stampPass(now);
            expireIdle(now);
            trimSpares(now);
            spareTransferHandles.store(static_cast<long long>(spareHandles_.size()), std::memory_order_relaxed);
        }
        waitForWork();
    }
}

void HttpSession::addTransfers() {
    for (auto& exchange : adding_) {
        HostSlots& host = hostOf(*exchange->target_);
        exchange->host_ = &host;
        if (host.running < limitOf(host) && host.waiting.empty()) {
            begin(std::move(exchange));
            continue;
        }
        // Its silence is timed from now, as if it were on the wire: the wait for a turn is
        // part of what the caller sees.
        Exchange& x = *exchange;
        x.lastActivity_ = kThisPass;
        link(x);
        x.self_ = exchange;
        host.waiting.push_back(std::move(exchange));
    }
    adding_.clear();
}

HostSlots& HttpSession::hostOf(const Target& target) {
    auto [it, added] = hosts_.try_emplace(target.hostKey);
    // Plain HTTP is always HTTP/1.1 here: the library asks for HTTP/2 only over TLS.
    if (added && !target.https) it->second.protocol = HostSlots::Protocol::http1;
    return it->second;
}

int HttpSession::limitOf(const HostSlots& host) {
    switch (host.protocol) {
        case HostSlots::Protocol::unknown: return host.connected ? static_cast<int>(kMaxConnectionsPerHost) : 1;
        case HostSlots::Protocol::http1: return static_cast<int>(kMaxConnectionsPerHost);
        case HostSlots::Protocol::multiplexed: return static_cast<int>(kMaxStreamsPerConnection);
    }
    return 1;
}

void HttpSession::startWaiting(HostSlots& host) {
    while (!draining_ && host.running < limitOf(host) && !host.waiting.empty()) {
        std::shared_ptr<Exchange> next = std::move(host.waiting.front());
        host.waiting.pop_front();
        if (!next->ended_) begin(std::move(next));  // an ended one timed out while waiting
    }
}

CURL* HttpSession::takeHandle(const Target& target) {
    CURL* easy = nullptr;
    if (!spareHandles_.empty()) {
        SpareHandle& spare = spareHandles_.back();
        easy = spare.easy;
        const bool sameTrust = spare.trustedFor->caFile == target.caFile;
        spareHandles_.pop_back();
        if (sameTrust) return easy;
        curl_easy_reset(easy);
    } else {
        easy = curl_easy_init();
        if (easy == nullptr) return nullptr;
    }
    configureTransfer(easy, target, share_);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpSession::onData);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpSession::onHeader);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &HttpSession::onProgress);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &HttpSession::onConnected);
    return easy;
}

void HttpSession::returnHandle(CURL* easy, const std::shared_ptr<const Target>& target) {
    if (spareHandles_.size() < std::max({kMinSpareHandles, sparesKept_, busiest_})) {
        try {
            spareHandles_.push_back({easy, target});
            return;
        } catch (...) {
        }
    }
    curl_easy_cleanup(easy);
}

void HttpSession::begin(std::shared_ptr<Exchange> exchange) {
    Exchange& x = *exchange;
    if (x.list_ == nullptr) {
        x.lastActivity_ = kThisPass;
        link(x);
    }
    x.self_ = std::move(exchange);
    const Target& t = *x.target_;
    CURL* easy = takeHandle(t);
    if (easy == nullptr) {
        finish(x, false);
        return;
    }
    x.easy_ = easy;
    // Towards an HTTP/2 server, waits for a connection that is being set up rather than
    // opening one more, so that calls made together multiplex over one connection. Never
    // otherwise: libcurl would hold every call to an HTTP/1.1 server until the first reply.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT,
                     x.host_->protocol == HostSlots::Protocol::multiplexed ? 1L : 0L);
    setRequest(easy, t.url(x.endpoint_), x.body_);
    // Every option that points at an exchange is set for each one: a reused handle still
    // holds the previous exchange's.
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &x);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &x);
    // A large body may take longer than the timeout to upload while still moving.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS,
                     static_cast<curl_off_t>(x.body_.size()) > kProgressBodyBytes ? 0L : 1L);

    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        x.easy_ = nullptr;
        returnHandle(easy, x.target_);
        finish(x, false);
        return;
    }
    ++x.host_->running;
    busiest_ = std::max(busiest_, ++transfers_);
}

void HttpSession::finish(Exchange& x, bool gotReply) {
    unlink(x);
    HostSlots* freed = nullptr;
    if (x.easy_ != nullptr) {
        CURL* easy = static_cast<CURL*>(x.easy_);
        curl_multi_remove_handle(multi_, easy);
        returnHandle(easy, x.target_);
        x.easy_ = nullptr;
        freed = x.host_;
        --freed->running;
        --transfers_;
    }
    x.gotReply_ = gotReply;
    if (!gotReply) std::string().swap(x.reply_);
    x.ended_ = true;
    auto self = std::move(x.self_);
    self->finished();
    if (freed != nullptr) startWaiting(*freed);
}

void HttpSession::finishAll() {
    draining_ = true;
    while (true) {
        Exchange* x = nullptr;
        for (auto& list : idleLists_) {
            if (list->head != nullptr) {
                x = list->head;
                break;
            }
        }
        if (x == nullptr) break;
        finish(*x, false);
    }
}

void HttpSession::link(Exchange& x) {
    IdleList* list = nullptr;
    for (auto& l : idleLists_) {
        if (l->timeout == x.target_->idleTimeout) {
            list = l.get();
            break;
        }
    }
    if (list == nullptr) {
        idleLists_.push_back(std::make_unique<IdleList>());
        list = idleLists_.back().get();
        list->timeout = x.target_->idleTimeout;
    }
    x.list_ = list;
    x.prev_ = list->tail;
    x.next_ = nullptr;
    if (list->tail) list->tail->next_ = &x;
    else list->head = &x;
    list->tail = &x;
}

void HttpSession::unlink(Exchange& x) {
    IdleList* list = x.list_;
    if (list == nullptr) return;
    if (x.prev_) x.prev_->next_ = x.next_;
    else list->head = x.next_;
    if (x.next_) x.next_->prev_ = x.prev_;
    else list->tail = x.prev_;
    x.prev_ = x.next_ = nullptr;
    x.list_ = nullptr;
}

void HttpSession::touch(Exchange& x) {
    IdleList* list = x.list_;
    if (list == nullptr) {
        x.lastActivity_ = Clock::now();
        return;
    }
    x.lastActivity_ = kThisPass;
    if (list->tail == &x) return;
    // Move to the tail: each list stays ordered by last activity, so only heads can expire.
    if (x.prev_) x.prev_->next_ = x.next_;
    else list->head = x.next_;
    x.next_->prev_ = x.prev_;
    x.prev_ = list->tail;
    x.next_ = nullptr;
    list->tail->next_ = &x;
    list->tail = &x;
}

void HttpSession::trimSpares(Clock::time_point now) {
    if (now < windowEnd_) return;
    sparesKept_ = busiest_;
    busiest_ = transfers_;
    windowEnd_ = now + kSpareWindow;
    const std::size_t keep = std::max(kMinSpareHandles, sparesKept_);
    while (spareHandles_.size() > keep) {
        curl_easy_cleanup(spareHandles_.back().easy);
        spareHandles_.pop_back();
    }
}

void HttpSession::stampPass(Clock::time_point now) {
    // Everything stamped in this pass was appended to its list's tail, so the stamps are the
    // tail's run.
    for (auto& list : idleLists_) {
        for (Exchange* x = list->tail; x != nullptr && x->lastActivity_ == kThisPass; x = x->prev_) {
            x->lastActivity_ = now;
        }
    }
}

void HttpSession::expireIdle(Clock::time_point now) {
    for (auto& list : idleLists_) {
        while (list->head != nullptr && list->head->lastActivity_ != kThisPass &&
               now - list->head->lastActivity_ >= list->timeout) {
            finish(*list->head, false);
        }
    }
}

int HttpSession::pollTimeoutMs(Clock::time_point now) const {
    // Nothing periodic: with no exchange in flight the thread sleeps until woken, except to
    // free the spare handles of a busier moment once their window is over.
    auto wait = std::chrono::nanoseconds(std::chrono::hours(24));
    if (spareHandles_.size() > kMinSpareHandles) wait = std::min(wait, std::chrono::nanoseconds(windowEnd_ - now));
    for (const auto& list : idleLists_) {
        if (list->head != nullptr && list->head->lastActivity_ != kThisPass) {
            wait = std::min(wait, list->head->lastActivity_ + list->timeout - now);
        }
    }
    return pollMs(wait);
}

std::size_t HttpSession::onData(char* data, std::size_t size, std::size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    const std::size_t n = size * count;
    if (!appendReply(x.reply_, data, n)) return CURL_WRITEFUNC_ERROR;
    touch(x);
    return n;
}

std::size_t HttpSession::onHeader(char*, std::size_t size, std::size_t count, void* user) {
    touch(*static_cast<Exchange*>(user));
    return size * count;
}

int HttpSession::onConnected(void* user, char*, char*, int, int) {
    // Inside libcurl: only note it; the waiting calls are started after this pass.
    auto& x = *static_cast<Exchange*>(user);
    HostSlots& host = *x.host_;
    if (!host.connected) {
        host.connected = true;
        host.release = true;
        runtime().session->releasePending_ = true;
    }
    return CURL_PREREQFUNC_OK;
}

int HttpSession::onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto& x = *static_cast<Exchange*>(user);
    if (ulnow != x.uploaded_) {
        x.uploaded_ = ulnow;
        touch(x);
    }
    return 0;
}


// ---------------------------------------------------------------------------------------
// Blocking exchanges, on the caller's thread.

namespace {

Lane* BlockingLanes::take() {
    Lane* lane = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (stopping_.load(std::memory_order_relaxed)) return nullptr;
        if (!spare_.empty()) {
            lane = spare_.back();
            spare_.pop_back();
        }
    }
    if (lane == nullptr) {
        auto fresh = std::make_unique<Lane>();
        fresh->multi = curl_multi_init();
        fresh->easy = curl_easy_init();
        if (fresh->multi == nullptr || fresh->easy == nullptr) {
            if (fresh->easy != nullptr) curl_easy_cleanup(fresh->easy);
            if (fresh->multi != nullptr) curl_multi_cleanup(fresh->multi);
            return nullptr;
        }
        lane = fresh.release();
    }
    std::lock_guard lock(mutex_);
    if (stopping_.load(std::memory_order_relaxed)) {
        spare_.push_back(lane);  // the process is ending: the lane is left as it is
        return nullptr;
    }
    busy_.push_back(lane);
    return lane;
}

void BlockingLanes::give(Lane* lane) {
    Lane* surplus = nullptr;
    {
        std::lock_guard lock(mutex_);
        busy_.erase(std::find(busy_.begin(), busy_.end(), lane));
        // Lanes beyond what the busiest moments used are closed, with their connections.
        if (spare_.size() < static_cast<std::size_t>(kMaxConnections) || stopping_.load(std::memory_order_relaxed)) {
            spare_.push_back(lane);
        } else {
            surplus = lane;
        }
        if (busy_.empty()) idle_.notify_all();
    }
    if (surplus != nullptr) {
        curl_easy_cleanup(surplus->easy);
        curl_multi_cleanup(surplus->multi);
        delete surplus;
    }
}

void BlockingLanes::shutdown() {
    std::unique_lock lock(mutex_);
    stopping_.store(true, std::memory_order_release);
    // A busy lane's handles stay alive until it is given back.
    for (Lane* lane : busy_) curl_multi_wakeup(lane->multi);
    // Each transfer sees the flag at its next wake-up and ends at once; the bound only
    // matters for one stuck in a name lookup that cannot be interrupted.
    idle_.wait_for(lock, std::chrono::seconds(5), [this] { return busy_.empty(); });
}

// What one blocking transfer has received, and when it last heard from the service.
struct BlockingState {
    std::string reply;
    Clock::time_point lastActivity;
    curl_off_t uploaded = 0;
};

std::size_t onBlockingData(char* data, std::size_t size, std::size_t count, void* user) {
    auto& state = *static_cast<BlockingState*>(user);
    const std::size_t n = size * count;
    if (!appendReply(state.reply, data, n)) return CURL_WRITEFUNC_ERROR;
    state.lastActivity = Clock::now();
    return n;
}

std::size_t onBlockingHeader(char*, std::size_t size, std::size_t count, void* user) {
    static_cast<BlockingState*>(user)->lastActivity = Clock::now();
    return size * count;
}

int onBlockingProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto& state = *static_cast<BlockingState*>(user);
    if (ulnow != state.uploaded) {
        state.uploaded = ulnow;
        state.lastActivity = Clock::now();
    }
    return 0;
}

}  // namespace

std::optional<std::string> performBlocking(const Target& t, Endpoint endpoint, const std::string& body) {
    Runtime& rt = runtime();
    // Starts a completion deferred go out now, not after this wait: the caller may be
    // waiting for their effect.
    releaseHeldWake();
    BlockingLanes& lanes = rt.blocking;
    Lane* lane = lanes.take();
    if (lane == nullptr) return std::nullopt;
    exchangesStarted.fetch_add(1, std::memory_order_relaxed);

    CURL* easy = lane->easy;
    if (!lane->configured || lane->caFile != t.caFile) {
        curl_easy_reset(easy);
        configureTransfer(easy, t, rt.callerCaches.handle());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onBlockingData);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onBlockingHeader);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onBlockingProgress);
        lane->caFile = t.caFile;
        lane->configured = true;
    }
    BlockingState state;
    state.lastActivity = Clock::now();
    setRequest(easy, t.url(endpoint), body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &state);
    // A large body may take longer than the timeout to upload while still moving.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, static_cast<curl_off_t>(body.size()) > kProgressBodyBytes ? 0L : 1L);

    bool gotReply = false;
    if (curl_multi_add_handle(lane->multi, easy) == CURLM_OK) {
        while (true) {
            int running = 0;
            curl_multi_perform(lane->multi, &running);
            int queued = 0;
            bool done = false;
            while (CURLMsg* msg = curl_multi_info_read(lane->multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                gotReply = msg->data.result == CURLE_OK;
                done = true;
            }
            if (done || lanes.stopping()) break;
            // The timeout bounds silence, not the exchange: a reply that keeps moving is
            // never cut off.
            const auto wait = state.lastActivity + t.idleTimeout - Clock::now();
            if (wait <= Clock::duration::zero()) break;
            curl_multi_poll(lane->multi, nullptr, 0, pollMs(wait), nullptr);
        }
        curl_multi_remove_handle(lane->multi, easy);
        countConnections(easy);
    }
    // The body and the reply buffer are this call's; leave no pointer to them behind.
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, nullptr);
    lanes.give(lane);
    if (!gotReply) return std::nullopt;
    return std::move(state.reply);
}

}  // namespace velmora::detail
