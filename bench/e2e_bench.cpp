// End-to-end driver for bench/run.sh: one measure per invocation, against the loopback
// server the script starts, printing bare numbers the script collects into its table.
//
//   e2e_bench tput  lib|multi|threads  h1|h2  IN_FLIGHT SECONDS   -> calls/s cpu_us/call switches/call
//   e2e_bench turns h1|h2 IN_FLIGHT SLICES SLICE_MS [multi|threads]
//                                    -> library, then the baseline: calls/s cpu_us/call switches/call
//   e2e_bench lat   lib|easy           h1|h2  COUNT               -> median_us p99_us
//   e2e_bench lat   both               h1|h2  COUNT               -> lib median, p99; easy median, p99
//   e2e_bench mem   h1|h2 IN_FLIGHT          -> threads_idle threads_peak rss_idle_kib rss_peak_kib bytes_per_call
//   e2e_bench conns h1|h2 IN_FLIGHT          -> connections opened for one wave, from cold; fails
//                                               unless every call got a reply
//   e2e_bench leave h1|h2 IN_FLIGHT WAIT_MS  -> one call, then IN_FLIGHT at once; exits WAIT_MS later with
//                                               them in flight or waiting: the calls that got a reply
//   e2e_bench tls   h1|h2 COUNT              -> connections (TLS handshakes) for COUNT sequential blocking calls
//   e2e_bench first h1|h2 COUNT              -> a blocking call on a new connection, then the median of COUNT
//                                               more on the kept connection, in us
//   e2e_bench resume h1|h2 COUNT GAP_MS      -> blocking, then non-blocking: COUNT calls each GAP_MS after the
//                                               last (past the server's keep-alive, so each reconnects);
//                                               median us of each form
//
// BENCH_WARM_MS (default 20) is how long each turn of `turns` runs before it is measured:
// across a simulated network it must exceed a round trip, or the turn's first round trip,
// with nothing completing yet, counts against it.
//
// Origins come from BENCH_H1 (http://...) and BENCH_H2 (https://...), the CA from BENCH_CA,
// a client certificate and key (for a service that asks for one) from BENCH_CERT and BENCH_KEY.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <curl/curl.h>

#include <velmora/velmora.hpp>

#include "transport/runtime.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The body a sendMessage call carries, for the raw libcurl baselines.
const char kBody[] = R"({"from":"alice","to":"bob","message":"hello"})";

struct Setup {
    std::string origin;
    std::string ca;
    std::string cert;
    std::string key;
    bool h2 = false;
};

Setup setupFor(const std::string& proto) {
    Setup s;
    s.h2 = proto == "h2";
    const char* o = std::getenv(s.h2 ? "BENCH_H2" : "BENCH_H1");
    s.origin = o ? o : (s.h2 ? "https://127.0.0.1:8443" : "http://127.0.0.1:8080");
    if (const char* ca = std::getenv("BENCH_CA")) s.ca = ca;
    if (const char* cert = std::getenv("BENCH_CERT")) s.cert = cert;
    if (const char* key = std::getenv("BENCH_KEY")) s.key = key;
    return s;
}

std::shared_ptr<velmora::Velmora> makeClient(const Setup& s) {
    velmora::ServiceConfig config;
    config.origin = s.origin;
    if (s.h2) config.caFile = s.ca;
    config.clientCertificate = s.cert;
    config.clientKey = s.key;
    config.requestTimeout = 30;
    return velmora::Velmora::create(config);
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

curl_slist* headers() {
    static curl_slist* h = [] {
        curl_slist* l = curl_slist_append(nullptr, "Content-Type: application/json");
        return curl_slist_append(l, "Expect:");
    }();
    return h;
}

// The options a hand-written client would set: the same request, verification on.
void configure(CURL* easy, const Setup& s, const std::string& url) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(sizeof kBody - 1));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    if (s.h2) curl_easy_setopt(easy, CURLOPT_CAINFO, s.ca.c_str());
}

std::string urlOf(const Setup& s) { return s.origin + "/sendMessage"; }

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long contextSwitches() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

// A closed loop of calls, IN_FLIGHT at a time, that can be started and stopped again with
// its connections kept; `done` counts the calls that got a reply.
class Load {
public:
    virtual ~Load() = default;
    virtual void start() = 0;
    virtual void stop() = 0;  // returns once nothing is in flight
    std::atomic<long long> done{0};
};

// The library: non-blocking calls, each completion starting the next.
class LibraryLoad final : public Load {
public:
    LibraryLoad(const Setup& s, int inFlight) : client_(makeClient(s)), inFlight_(inFlight) {}

    void start() override {
        stop_ = false;
        {
            std::lock_guard lock(m_);
            outstanding_ = inFlight_;
        }
        for (int i = 0; i < inFlight_; ++i) issue();
    }
    void stop() override {
        stop_ = true;
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, std::chrono::seconds(30), [&] { return outstanding_ == 0; })) std::abort();
    }

private:
    void issue() {
        const bool started = client_->sendMessageAsync("alice", "bob", "hello", [this](bool) {
            done.fetch_add(1, std::memory_order_relaxed);
            if (!stop_.load(std::memory_order_relaxed)) {
                issue();
            } else {
                std::lock_guard lock(m_);
                if (--outstanding_ == 0) cv_.notify_all();
            }
        });
        if (!started) std::abort();
    }

    std::shared_ptr<velmora::Velmora> client_;
    const int inFlight_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::condition_variable cv_;
    int outstanding_ = 0;
};

// The limit: one thread, one multi handle, N easy handles configured once and re-added
// as soon as each finishes; it neither parses the reply nor hands it anywhere.
class MultiLoad final : public Load {
public:
    MultiLoad(const Setup& s, int inFlight) : url_(urlOf(s)), multi_(curl_multi_init()) {
        curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, 1000L);
        // To see what a per-host connection limit costs libcurl itself (the library sets 64).
        if (const char* limit = std::getenv("BENCH_MULTI_MAX_HOST_CONNECTIONS")) {
            curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, std::atol(limit));
        }
        for (int i = 0; i < inFlight; ++i) {
            CURL* e = curl_easy_init();
            configure(e, s, url_);
            easies_.push_back(e);
        }
    }
    ~MultiLoad() override {
        for (CURL* e : easies_) curl_easy_cleanup(e);
        curl_multi_cleanup(multi_);
    }

    void start() override {
        stop_ = false;
        for (CURL* e : easies_) curl_multi_add_handle(multi_, e);
        loop_ = std::thread([this] {
            int running = 0;
            do {
                curl_multi_perform(multi_, &running);
                int queued = 0;
                while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
                    if (msg->msg != CURLMSG_DONE) continue;
                    CURL* e = msg->easy_handle;
                    if (msg->data.result == CURLE_OK) done.fetch_add(1, std::memory_order_relaxed);
                    curl_multi_remove_handle(multi_, e);
                    if (!stop_.load(std::memory_order_relaxed)) curl_multi_add_handle(multi_, e);
                }
                if (running > 0 || !stop_.load()) curl_multi_poll(multi_, nullptr, 0, 100, nullptr);
            } while (running > 0 || !stop_.load());
        });
    }
    void stop() override {
        stop_ = true;
        curl_multi_wakeup(multi_);
        loop_.join();
    }

private:
    const std::string url_;
    CURLM* multi_;
    std::vector<CURL*> easies_;
    std::atomic<bool> stop_{false};
    std::thread loop_;
};

// What a user writes without the library: a thread per call, a fresh handle per call.
class ThreadsLoad final : public Load {
public:
    ThreadsLoad(const Setup& s, int inFlight) : setup_(s), url_(urlOf(s)), inFlight_(inFlight) {}

    void start() override {
        stop_ = false;
        for (int i = 0; i < inFlight_; ++i) {
            slots_.emplace_back([this] {
                while (!stop_.load()) {
                    std::thread call([this] {
                        CURL* e = curl_easy_init();
                        configure(e, setup_, url_);
                        if (curl_easy_perform(e) == CURLE_OK) done.fetch_add(1);
                        curl_easy_cleanup(e);
                    });
                    call.join();
                }
            });
        }
    }
    void stop() override {
        stop_ = true;
        for (auto& t : slots_) t.join();
        slots_.clear();
    }

private:
    const Setup setup_;
    const std::string url_;
    const int inFlight_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> slots_;
};

std::unique_ptr<Load> makeLoad(const std::string& impl, const Setup& s, int inFlight) {
    if (impl == "lib") return std::make_unique<LibraryLoad>(s, inFlight);
    if (impl == "multi") return std::make_unique<MultiLoad>(s, inFlight);
    if (impl == "threads") return std::make_unique<ThreadsLoad>(s, inFlight);
    return nullptr;
}

// Calls, time, client CPU time and context switches over the measured windows of one
// side. CPU time and switches per call vary far less than the rate on a shared machine.
struct Totals {
    double calls = 0, seconds = 0, cpu = 0, switches = 0;
    void print() const {
        const double n = std::max(1.0, calls);
        std::printf("%.0f %.1f %.2f", calls / seconds, cpu * 1e6 / n, switches / n);
    }
};

// Starts the load, lets it warm for `warm` (connection set-up is excluded on every side
// alike), measures for `measure`, then stops it.
void measure(Load& load, std::chrono::duration<double> warm, std::chrono::duration<double> window, Totals& totals) {
    load.start();
    std::this_thread::sleep_for(warm);
    const long long c0 = load.done.load();
    const double cpu0 = cpuSeconds();
    const long cs0 = contextSwitches();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(window);
    const long long c1 = load.done.load();
    const double cpu1 = cpuSeconds();
    const long cs1 = contextSwitches();
    const auto t1 = Clock::now();
    load.stop();
    totals.calls += static_cast<double>(c1 - c0);
    totals.seconds += std::chrono::duration<double>(t1 - t0).count();
    totals.cpu += cpu1 - cpu0;
    totals.switches += static_cast<double>(cs1 - cs0);
}

// Both sides in one process, in turns, slice by slice: on this VM the host's load moves
// whole runs by 2-3x within seconds, far more than the difference being measured, so the
// two sides alternate every `slice` and each side's figures are summed over its own
// slices (which side goes first alternates too). Connections stay open between slices.
void tputInTurn(const Setup& s, int inFlight, int slices, double sliceSeconds, const std::string& baseline) {
    LibraryLoad lib(s, inFlight);
    const auto base = makeLoad(baseline, s, inFlight);
    const std::chrono::duration<double> slice(sliceSeconds);
    const char* warmMs = std::getenv("BENCH_WARM_MS");
    const std::chrono::milliseconds warm(warmMs ? std::atoi(warmMs) : 20);
    Totals libTotals, baseTotals;
    for (int i = 0; i < slices; ++i) {
        if (i % 2) measure(*base, warm, slice, baseTotals);
        measure(lib, warm, slice, libTotals);
        if (i % 2 == 0) measure(*base, warm, slice, baseTotals);
    }
    libTotals.print();
    std::printf(" ");
    baseTotals.print();
    std::printf("\n");
}

void printLatency(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    const double median = us[us.size() / 2];
    const double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    std::printf("%.1f %.1f\n", median, p99);
}

void latLibrary(const Setup& s, int count) {
    auto client = makeClient(s);
    for (int i = 0; i < 100; ++i) client->sendMessageSync("alice", "bob", "hello");
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (!client->sendMessageSync("alice", "bob", "hello")) std::abort();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    printLatency(us);
}

void latEasy(const Setup& s, int count) {
    const std::string url = urlOf(s);
    CURL* e = curl_easy_init();
    configure(e, s, url);
    for (int i = 0; i < 100; ++i) curl_easy_perform(e);
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (curl_easy_perform(e) != CURLE_OK) std::abort();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    curl_easy_cleanup(e);
    printLatency(us);
}

// Both sides in one process, one call each in turn (the first side alternating pair by
// pair), so that both see the same moments of a noisy machine: on this VM a quiet core
// that has gone idle costs more to wake than a busy one, which moves whole runs by 2-3x.
void latBoth(const Setup& s, int count) {
    auto client = makeClient(s);
    const std::string url = urlOf(s);
    CURL* e = curl_easy_init();
    configure(e, s, url);
    for (int i = 0; i < 100; ++i) {
        client->sendMessageSync("alice", "bob", "hello");
        curl_easy_perform(e);
    }
    std::vector<double> lib, easy;
    lib.reserve(static_cast<std::size_t>(count));
    easy.reserve(static_cast<std::size_t>(count));
    auto timeLib = [&] {
        const auto t0 = Clock::now();
        if (!client->sendMessageSync("alice", "bob", "hello")) std::abort();
        lib.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    };
    auto timeEasy = [&] {
        const auto t0 = Clock::now();
        if (curl_easy_perform(e) != CURLE_OK) std::abort();
        easy.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    };
    for (int i = 0; i < count; ++i) {
        if (i % 2) {
            timeLib();
            timeEasy();
        } else {
            timeEasy();
            timeLib();
        }
    }
    curl_easy_cleanup(e);
    std::sort(lib.begin(), lib.end());
    std::sort(easy.begin(), easy.end());
    auto at = [](const std::vector<double>& v, std::size_t num, std::size_t den) {
        return v[std::min(v.size() - 1, v.size() * num / den)];
    };
    std::printf("%.1f %.1f %.1f %.1f\n", at(lib, 1, 2), at(lib, 99, 100), at(easy, 1, 2), at(easy, 99, 100));
}

long statusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

void memory(const Setup& s, int inFlight) {
    auto client = makeClient(s);
    // Warm: the I/O and delivery threads exist and a connection is open.
    client->sendMessageSync("alice", "bob", "hello");
    {
        std::atomic<bool> one{false};
        client->sendMessageAsync("alice", "bob", "hello", [&](bool) { one = true; });
        while (!one) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const long threadsIdle = statusField("Threads");
    const long rssIdle = statusField("VmRSS");
    { std::ofstream("/proc/self/clear_refs") << "5"; }  // restart the peak from here

    std::atomic<int> done{0};
    long threadsPeak = threadsIdle;
    for (int i = 0; i < inFlight; ++i) {
        client->sendMessageAsync("alice", "bob", "hello", [&](bool) { done.fetch_add(1); });
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (done.load() < inFlight && Clock::now() < deadline) {
        threadsPeak = std::max(threadsPeak, statusField("Threads"));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const long rssPeak = statusField("VmHWM");
    if (done.load() < inFlight) std::fprintf(stderr, "only %d of %d completed\n", done.load(), inFlight);
    std::printf("%ld %ld %ld %ld %.0f\n", threadsIdle, threadsPeak, rssIdle, rssPeak,
                static_cast<double>(rssPeak - rssIdle) * 1024.0 / inFlight);
}

void connections(const Setup& s, int inFlight) {
    auto client = makeClient(s);
    const long long before = velmora::detail::Runtime::get().io().connectionsOpened();
    std::atomic<int> done{0};
    std::atomic<int> replied{0};
    for (int i = 0; i < inFlight; ++i) {
        client->sendMessageAsync("alice", "bob", "hello", [&](bool ok) {
            if (ok) replied.fetch_add(1);
            done.fetch_add(1);
        });
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (done.load() < inFlight && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("%lld\n", velmora::detail::Runtime::get().io().connectionsOpened() - before);
    if (replied.load() < inFlight) {
        std::fprintf(stderr, "only %d of %d calls got a reply\n", replied.load(), inFlight);
        std::fflush(stdout);
        std::_Exit(1);
    }
}

// One call, so that the server's protocol is known, then a wave of `inFlight` calls; the
// process ends `waitMs` later whatever is still in flight or waiting its turn.
void leave(const Setup& s, int inFlight, int waitMs) {
    auto client = makeClient(s);
    std::atomic<int> replied{0};
    std::atomic<bool> first{false};
    client->sendMessageAsync("alice", "bob", "hello", [&](bool) { first = true; });
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!first.load() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < inFlight; ++i) {
        client->sendMessageAsync("alice", "bob", "hello", [&](bool ok) {
            if (ok) replied.fetch_add(1);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    std::printf("%d\n", replied.load());
}

void handshakes(const Setup& s, int count) {
    auto client = makeClient(s);
    const long long before = velmora::detail::Runtime::get().blocking().connectionsOpened();
    for (int i = 0; i < count; ++i) {
        if (!client->sendMessageSync("alice", "bob", "hello")) std::abort();
    }
    std::printf("%lld\n", velmora::detail::Runtime::get().blocking().connectionsOpened() - before);
}

// A new connection costs the TCP and TLS handshakes (and, for the library, reading the CA
// file and any client certificate into the handle's TLS context); later calls reuse it.
// One call to the same service by another of its names (localhost for 127.0.0.1) comes
// first: it pays the process's one-time set-up (threads, TLS library) on a connection of
// its own, which the timed call cannot reuse.
void firstAndKept(const Setup& s, int count) {
    Setup other = s;
    if (const auto at = other.origin.find("127.0.0.1"); at != std::string::npos) {
        other.origin.replace(at, 9, "localhost");
    }
    if (!makeClient(other)->sendMessageSync("alice", "bob", "hello")) std::abort();
    auto client = makeClient(s);
    auto timed = [&] {
        const auto start = Clock::now();
        if (!client->sendMessageSync("alice", "bob", "hello")) std::abort();
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    };
    const double first = timed();
    std::vector<double> kept;
    for (int i = 0; i < count; ++i) kept.push_back(timed());
    std::sort(kept.begin(), kept.end());
    std::printf("%.0f %.0f\n", first, kept.empty() ? 0.0 : kept[kept.size() / 2]);
}

// A call made after the server closed the kept connection (the gap outlasts its keep-alive)
// reconnects; whether the TLS session was resumed the server's log tells.
void reconnects(const Setup& s, int count, int gapMs) {
    auto client = makeClient(s);
    const auto median = [&](auto&& call) {
        if (!call()) std::abort();
        std::vector<double> times;
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            const auto start = Clock::now();
            if (!call()) std::abort();
            times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::sort(times.begin(), times.end());
        return times.empty() ? 0.0 : times[times.size() / 2];
    };
    const double blocking = median([&] { return client->sendMessageSync("alice", "bob", "hello"); });
    const double nonBlocking = median([&] {
        std::mutex m;
        std::condition_variable cv;
        bool done = false, ok = false;
        client->sendMessageAsync("alice", "bob", "hello", [&](bool result) {
            std::lock_guard lock(m);
            ok = result;
            done = true;
            cv.notify_one();
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
        return ok;
    });
    std::printf("%.0f %.0f\n", blocking, nonBlocking);
}

int usage() {
    std::fprintf(stderr, "usage: see the comment at the top of bench/e2e_bench.cpp\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string mode = argv[1];
    if (mode == "tput" && argc == 6) {
        const auto load = makeLoad(argv[2], setupFor(argv[3]), std::atoi(argv[4]));
        if (!load) return usage();
        Totals totals;
        measure(*load, std::chrono::milliseconds(300), std::chrono::duration<double>(std::atof(argv[5])), totals);
        totals.print();
        std::printf("\n");
    } else if (mode == "turns" && (argc == 6 || argc == 7)) {
        const std::string baseline = argc == 7 ? argv[6] : "multi";
        if (baseline != "multi" && baseline != "threads") return usage();
        tputInTurn(setupFor(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]) / 1000.0, baseline);
    } else if (mode == "lat" && argc == 5) {
        const Setup s = setupFor(argv[3]);
        const std::string impl = argv[2];
        if (impl == "lib") latLibrary(s, std::atoi(argv[4]));
        else if (impl == "both") latBoth(s, std::atoi(argv[4]));
        else if (impl == "easy") latEasy(s, std::atoi(argv[4]));
        else return usage();
    } else if (mode == "mem") {
        memory(setupFor(argv[2]), std::atoi(argv[3]));
    } else if (mode == "conns") {
        connections(setupFor(argv[2]), std::atoi(argv[3]));
    } else if (mode == "leave" && argc == 5) {
        leave(setupFor(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    } else if (mode == "tls") {
        handshakes(setupFor(argv[2]), std::atoi(argv[3]));
    } else if (mode == "first") {
        firstAndKept(setupFor(argv[2]), std::atoi(argv[3]));
    } else if (mode == "resume" && argc == 5) {
        reconnects(setupFor(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    } else {
        return usage();
    }
    std::fflush(stdout);
    return 0;
}
