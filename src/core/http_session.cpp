#include "core/http_session.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

#include <curl/curl.h>

namespace velmora::detail {

struct IdleList {
    std::chrono::nanoseconds timeout{};
    Exchange* head = nullptr;
    Exchange* tail = nullptr;
};

class HttpSession {
public:
    HttpSession();
    ~HttpSession() = delete;  // lives until the process ends; see runtime()

    void start(std::shared_ptr<Exchange> exchange, bool deferWake);
    void wake() {
        // One wake-up per batch: the I/O thread clears the flag before it takes the batch.
        if (!wakePending_.exchange(true, std::memory_order_acq_rel)) curl_multi_wakeup(multi_);
    }
    void shutdown();
    SessionStats stats() const {
        return {started_.load(std::memory_order_relaxed), connections_.load(std::memory_order_relaxed)};
    }

    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* user);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void addTransfers();
    void begin(std::shared_ptr<Exchange> exchange);
    void finish(Exchange& x, bool gotReply);
    void expireIdle(Clock::time_point now);
    int pollTimeoutMs(Clock::time_point now) const;
    static void touch(Exchange& x);
    void link(Exchange& x);
    static void unlink(Exchange& x);
    CURL* takeHandle();
    void returnHandle(CURL* easy);
    void finishAll();

    std::mutex mutex_;
    std::vector<std::shared_ptr<Exchange>> incoming_;
    bool stopping_ = false;
    bool stopped_ = false;
    std::atomic<bool> wakePending_{false};

    CURLM* multi_ = nullptr;
    CURLSH* share_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::thread thread_;
    std::thread::id threadId_;

    // I/O thread only.
    std::vector<std::shared_ptr<Exchange>> adding_;
    std::vector<CURL*> spareHandles_;
    std::vector<std::unique_ptr<IdleList>> idleLists_;
    std::atomic<long long> started_{0};
    std::atomic<long long> connections_{0};
};

namespace {

// The session and the delivery queue live until the process ends. A guard made after
// libcurl (and so OpenSSL) has registered its own exit handlers stops both threads first,
// so no transfer runs while the TLS library is torn down.
struct Runtime {
    DeliveryQueue delivery;
    HttpSession* session = nullptr;
};

// A start deferred by a completion on the delivery thread (see startExchange).
thread_local bool wakeHeld = false;
void releaseHeldWake();

Runtime& runtime() {
    static Runtime* rt = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        auto* r = new Runtime();
        r->session = new HttpSession();
        r->delivery.setAfterItems(&releaseHeldWake);
        return r;
    }();
    static struct ExitGuard {
        ~ExitGuard() {
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

}  // namespace

Exchange::Exchange(std::shared_ptr<const Target> target, Endpoint endpoint, std::string body)
    : target_(std::move(target)), endpoint_(endpoint), body_(std::move(body)) {}

Exchange::~Exchange() = default;

void startExchange(std::shared_ptr<Exchange> exchange, bool deferWake) {
    runtime().session->start(std::move(exchange), deferWake);
}

DeliveryQueue& deliveryQueue() { return runtime().delivery; }

SessionStats sessionStats() { return runtime().session->stats(); }

HttpSession::HttpSession() {
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxConnections);
    curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, kMaxStreamsPerConnection);

    // Every easy handle lives on the I/O thread, so the share needs no locks: it lets new
    // connections resume TLS sessions and skip name lookups made by other handles.
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);

    // "Expect:" with no value stops libcurl from waiting for a 100 Continue that services
    // of this kind never send.
    headers_ = curl_slist_append(headers_, "Content-Type: application/json");
    headers_ = curl_slist_append(headers_, "Expect:");
}

void HttpSession::start(std::shared_ptr<Exchange> exchange, bool deferWake) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            started_.fetch_add(1, std::memory_order_relaxed);
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
    curl_multi_wakeup(multi_);
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
            // The process is ending: whatever is in flight or queued ends without data, so
            // no blocking caller is left waiting.
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
                long connects = 0;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_NUM_CONNECTS, &connects);
                connections_.fetch_add(connects, std::memory_order_relaxed);
                const bool ok = msg->data.result == CURLE_OK;
                finish(*x, ok);
            }
            expireIdle(Clock::now());
        }
        curl_multi_poll(multi_, nullptr, 0, pollTimeoutMs(Clock::now()), nullptr);
    }
}

void HttpSession::addTransfers() {
    for (auto& exchange : adding_) begin(std::move(exchange));
    adding_.clear();
}

CURL* HttpSession::takeHandle() {
    if (spareHandles_.empty()) return curl_easy_init();
    CURL* easy = spareHandles_.back();
    spareHandles_.pop_back();
    curl_easy_reset(easy);
    return easy;
}

void HttpSession::returnHandle(CURL* easy) {
    // A few spare handles keep their caches warm; the rest are freed.
    if (spareHandles_.size() < 64) {
        spareHandles_.push_back(easy);
    } else {
        curl_easy_cleanup(easy);
    }
}

void HttpSession::begin(std::shared_ptr<Exchange> exchange) {
    Exchange& x = *exchange;
    CURL* easy = takeHandle();
    if (easy == nullptr) {
        x.self_ = std::move(exchange);
        x.gotReply_ = false;
        auto self = std::move(x.self_);
        self->finished();
        return;
    }
    x.easy_ = easy;
    const Target& t = *x.target_;
    curl_easy_setopt(easy, CURLOPT_URL, t.url(x.endpoint_).c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, x.body_.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x.body_.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    if (!t.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, t.caFile.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpSession::onData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpSession::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &x);
    if (static_cast<curl_off_t>(x.body_.size()) > kProgressBodyBytes) {
        // A large body may take longer than the timeout to upload while still moving.
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &HttpSession::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &x);
    }
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &x);

    x.self_ = std::move(exchange);
    x.lastActivity_ = Clock::now();
    link(x);
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        x.easy_ = nullptr;
        returnHandle(easy);
        finish(x, false);
    }
}

void HttpSession::finish(Exchange& x, bool gotReply) {
    unlink(x);
    if (x.easy_ != nullptr) {
        CURL* easy = static_cast<CURL*>(x.easy_);
        curl_multi_remove_handle(multi_, easy);
        returnHandle(easy);
        x.easy_ = nullptr;
    }
    x.gotReply_ = gotReply;
    if (!gotReply) std::string().swap(x.reply_);
    auto self = std::move(x.self_);
    self->finished();
}

void HttpSession::finishAll() {
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
    x.lastActivity_ = Clock::now();
    IdleList* list = x.list_;
    if (list == nullptr || list->tail == &x) return;
    // Move to the tail: each list stays ordered by last activity, so only heads can expire.
    if (x.prev_) x.prev_->next_ = x.next_;
    else list->head = x.next_;
    x.next_->prev_ = x.prev_;
    x.prev_ = list->tail;
    x.next_ = nullptr;
    list->tail->next_ = &x;
    list->tail = &x;
}

void HttpSession::expireIdle(Clock::time_point now) {
    for (auto& list : idleLists_) {
        while (list->head != nullptr && now - list->head->lastActivity_ >= list->timeout) {
            finish(*list->head, false);
        }
    }
}

int HttpSession::pollTimeoutMs(Clock::time_point now) const {
    // Nothing periodic: with no exchange in flight the thread sleeps until woken.
    auto wait = std::chrono::nanoseconds(std::chrono::hours(24));
    for (const auto& list : idleLists_) {
        if (list->head != nullptr) {
            wait = std::min(wait, list->head->lastActivity_ + list->timeout - now);
        }
    }
    if (wait <= std::chrono::nanoseconds::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

std::size_t HttpSession::onData(char* data, std::size_t size, std::size_t count, void* user) {
    auto& x = *static_cast<Exchange*>(user);
    const std::size_t n = size * count;
    if (x.reply_.size() + n > kMaxReplyBytes) return CURL_WRITEFUNC_ERROR;
    x.reply_.append(data, n);
    touch(x);
    return n;
}

std::size_t HttpSession::onHeader(char*, std::size_t size, std::size_t count, void* user) {
    touch(*static_cast<Exchange*>(user));
    return size * count;
}

int HttpSession::onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto& x = *static_cast<Exchange*>(user);
    if (ulnow != x.uploaded_) {
        x.uploaded_ = ulnow;
        touch(x);
    }
    return 0;
}

}  // namespace velmora::detail
