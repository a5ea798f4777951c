// End-to-end driver for bench/run.sh: one measure per invocation, against the loopback
// server the script starts, printing bare numbers the script collects into its table.
//
//   e2e_bench tput  lib|multi|threads  h1|h2  IN_FLIGHT SECONDS   -> calls/s cpu_us/call switches/call
//   e2e_bench turns h1|h2 IN_FLIGHT SLICES SLICE_MS [multi|threads]
//                                    -> library, then the baseline: calls/s cpu_us/call switches/call
//   e2e_bench lat   lib|easy           h1|h2  COUNT               -> median_us p99_us
//   e2e_bench lat   both               h1|h2  COUNT               -> lib median, p99; easy median, p99
//   e2e_bench mem   h1|h2 IN_FLIGHT          -> threads_idle threads_peak rss_idle_kib rss_peak_kib bytes_per_call
//   e2e_bench conns h1|h2 IN_FLIGHT          -> connections opened for one wave, from cold
//   e2e_bench tls   h1|h2 COUNT              -> connections (TLS handshakes) for COUNT sequential blocking calls
//
// Origins come from BENCH_H1 (http://...) and BENCH_H2 (https://...), the CA from BENCH_CA.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <curl/curl.h>

#include <velmora/velmora.hpp>

#include "core/http_session.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The body a sendMessage call carries, for the raw libcurl baselines.
const char kBody[] = R"({"from":"alice","to":"bob","message":"hello"})";

struct Setup {
    std::string origin;
    std::string ca;
    bool h2 = false;
};

Setup setupFor(const std::string& proto) {
    Setup s;
    s.h2 = proto == "h2";
    const char* o = std::getenv(s.h2 ? "BENCH_H2" : "BENCH_H1");
    s.origin = o ? o : (s.h2 ? "https://127.0.0.1:8443" : "http://127.0.0.1:8080");
    if (const char* ca = std::getenv("BENCH_CA")) s.ca = ca;
    return s;
}

std::shared_ptr<velmora::Velmora> makeClient(const Setup& s) {
    velmora::ServiceConfig config;
    config.origin = s.origin;
    if (s.h2) config.caFile = s.ca;
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

// Counts completions; the rate is taken after a warm-up so connection set-up is excluded
// on both sides alike. The client's CPU time and context switches per call are taken over
// the same window: on a shared machine they vary far less than the rate does.
struct Meter {
    std::atomic<long long> done{0};
    std::atomic<bool> stop{false};
    static inline double cpuUsPerCall = 0;  // of the last run
    static inline double switchesPerCall = 0;

    double run(double seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long long c0 = done.load();
        const double cpu0 = cpuSeconds();
        const long cs0 = contextSwitches();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const long long c1 = done.load();
        const double cpu1 = cpuSeconds();
        const long cs1 = contextSwitches();
        const auto t1 = Clock::now();
        stop = true;
        const double calls = static_cast<double>(std::max(1LL, c1 - c0));
        // The measuring thread's own sleeps are two of the switches; negligible per call.
        cpuUsPerCall = (cpu1 - cpu0) * 1e6 / calls;
        switchesPerCall = static_cast<double>(cs1 - cs0) / calls;
        return static_cast<double>(c1 - c0) / std::chrono::duration<double>(t1 - t0).count();
    }
};



double tputLibrary(const Setup& s, int inFlight, double seconds) {
    auto client = makeClient(s);
    Meter meter;
    std::mutex m;
    std::condition_variable cv;
    int outstanding = inFlight;
    std::function<void()> issue = [&] {
        const bool started = client->sendMessageAsync("alice", "bob", "hello", [&](bool) {
            meter.done.fetch_add(1, std::memory_order_relaxed);
            if (!meter.stop.load(std::memory_order_relaxed)) {
                issue();
            } else {
                std::lock_guard lock(m);
                if (--outstanding == 0) cv.notify_all();
            }
        });
        if (!started) std::abort();
    };
    for (int i = 0; i < inFlight; ++i) issue();
    const double rate = meter.run(seconds);
    std::unique_lock lock(m);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return outstanding == 0; });
    return rate;
}

double tputMulti(const Setup& s, int inFlight, double seconds) {
    const std::string url = urlOf(s);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, 1000L);
    // To see what a per-host connection limit costs libcurl itself (the library sets 64).
    if (const char* limit = std::getenv("BENCH_MULTI_MAX_HOST_CONNECTIONS")) {
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, std::atol(limit));
    }
    std::vector<CURL*> easies;
    for (int i = 0; i < inFlight; ++i) {
        CURL* e = curl_easy_init();
        configure(e, s, url);
        curl_multi_add_handle(multi, e);
        easies.push_back(e);
    }
    Meter meter;
    std::thread loop([&] {
        int running = 0;
        do {
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                CURL* e = msg->easy_handle;
                if (msg->data.result == CURLE_OK) meter.done.fetch_add(1, std::memory_order_relaxed);
                curl_multi_remove_handle(multi, e);
                if (!meter.stop.load(std::memory_order_relaxed)) curl_multi_add_handle(multi, e);
            }
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        } while (running > 0 || !meter.stop.load());
    });
    const double rate = meter.run(seconds);
    loop.join();
    for (CURL* e : easies) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
    return rate;
}

// Both sides in one process, in turn, slice by slice: on this VM the host's load moves
// whole runs by 2-3x within seconds, far more than the difference being measured, so the
// two sides alternate every SLICE_MS milliseconds and each side's figures are summed over
// its own slices. Each slice starts IN_FLIGHT calls, lets them run for 20 ms, measures for
// SLICE_MS, then stops and drains; connections stay open between slices on both sides.
struct SliceTotals {
    double calls = 0, seconds = 0, cpu = 0, switches = 0;
    void add(long long c, double secs, double cpuSecs, long cs) {
        calls += static_cast<double>(c);
        seconds += secs;
        cpu += cpuSecs;
        switches += static_cast<double>(cs);
    }
    void print() const {
        const double n = std::max(1.0, calls);
        std::printf("%.0f %.1f %.2f", calls / seconds, cpu * 1e6 / n, switches / n);
    }
};

template <class Start, class Stop>
void measureSlice(std::atomic<long long>& done, Start start, Stop stop, double sliceSeconds, SliceTotals& totals) {
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long long c0 = done.load();
    const double cpu0 = cpuSeconds();
    const long cs0 = contextSwitches();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(sliceSeconds));
    const long long c1 = done.load();
    const double cpu1 = cpuSeconds();
    const long cs1 = contextSwitches();
    const auto t1 = Clock::now();
    stop();
    totals.add(c1 - c0, std::chrono::duration<double>(t1 - t0).count(), cpu1 - cpu0, cs1 - cs0);
}

void tputInTurn(const Setup& s, int inFlight, int slices, double sliceSeconds, bool threadsBaseline) {
    // The library: a closed loop of non-blocking calls, each completion starting the next.
    auto client = makeClient(s);
    std::atomic<long long> libDone{0};
    std::atomic<bool> libStop{false};
    std::mutex m;
    std::condition_variable cv;
    int outstanding = 0;
    std::function<void()> issue = [&] {
        const bool started = client->sendMessageAsync("alice", "bob", "hello", [&](bool) {
            libDone.fetch_add(1, std::memory_order_relaxed);
            if (!libStop.load(std::memory_order_relaxed)) {
                issue();
            } else {
                std::lock_guard lock(m);
                if (--outstanding == 0) cv.notify_all();
            }
        });
        if (!started) std::abort();
    };
    auto libStart = [&] {
        libStop = false;
        {
            std::lock_guard lock(m);
            outstanding = inFlight;
        }
        for (int i = 0; i < inFlight; ++i) issue();
    };
    auto libEnd = [&] {
        libStop = true;
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return outstanding == 0; })) std::abort();
    };

    // The multi loop, as in tputMulti.
    const std::string url = urlOf(s);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, 1000L);
    std::vector<CURL*> easies;
    for (int i = 0; i < inFlight; ++i) {
        CURL* e = curl_easy_init();
        configure(e, s, url);
        easies.push_back(e);
    }
    std::atomic<long long> multiDone{0};
    std::atomic<bool> multiStop{false};
    std::thread loop;
    auto multiStart = [&] {
        multiStop = false;
        for (CURL* e : easies) curl_multi_add_handle(multi, e);
        loop = std::thread([&] {
            int running = 0;
            do {
                curl_multi_perform(multi, &running);
                int queued = 0;
                while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                    if (msg->msg != CURLMSG_DONE) continue;
                    CURL* e = msg->easy_handle;
                    if (msg->data.result == CURLE_OK) multiDone.fetch_add(1, std::memory_order_relaxed);
                    curl_multi_remove_handle(multi, e);
                    if (!multiStop.load(std::memory_order_relaxed)) curl_multi_add_handle(multi, e);
                }
                if (running > 0 || !multiStop.load()) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
            } while (running > 0 || !multiStop.load());
        });
    };
    auto multiEnd = [&] {
        multiStop = true;
        curl_multi_wakeup(multi);
        loop.join();
    };

    // Or a thread per call with a fresh handle, as in tputThreads.
    std::vector<std::thread> slots;
    auto threadsStart = [&] {
        multiStop = false;
        for (int i = 0; i < inFlight; ++i) {
            slots.emplace_back([&] {
                while (!multiStop.load()) {
                    std::thread call([&] {
                        CURL* e = curl_easy_init();
                        configure(e, s, url);
                        if (curl_easy_perform(e) == CURLE_OK) multiDone.fetch_add(1);
                        curl_easy_cleanup(e);
                    });
                    call.join();
                }
            });
        }
    };
    auto threadsEnd = [&] {
        multiStop = true;
        for (auto& t : slots) t.join();
        slots.clear();
    };
    auto baseSlice = [&](SliceTotals& totals) {
        if (threadsBaseline) measureSlice(multiDone, threadsStart, threadsEnd, sliceSeconds, totals);
        else measureSlice(multiDone, multiStart, multiEnd, sliceSeconds, totals);
    };

    SliceTotals lib, base;
    for (int i = 0; i < slices; ++i) {
        if (i % 2) {
            baseSlice(base);
            measureSlice(libDone, libStart, libEnd, sliceSeconds, lib);
        } else {
            measureSlice(libDone, libStart, libEnd, sliceSeconds, lib);
            baseSlice(base);
        }
    }
    lib.print();
    std::printf(" ");
    base.print();
    std::printf("\n");
    for (CURL* e : easies) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
}

// What a user writes without the library: a thread per call, a fresh handle per call.
double tputThreads(const Setup& s, int inFlight, double seconds) {
    const std::string url = urlOf(s);
    Meter meter;
    std::vector<std::thread> slots;
    for (int i = 0; i < inFlight; ++i) {
        slots.emplace_back([&] {
            while (!meter.stop.load()) {
                std::thread call([&] {
                    CURL* e = curl_easy_init();
                    configure(e, s, url);
                    if (curl_easy_perform(e) == CURLE_OK) meter.done.fetch_add(1);
                    curl_easy_cleanup(e);
                });
                call.join();
            }
        });
    }
    const double rate = meter.run(seconds);
    for (auto& t : slots) t.join();
    return rate;
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
    const long long before = velmora::detail::sessionStats().connectionsOpened;
    std::atomic<int> done{0};
    for (int i = 0; i < inFlight; ++i) {
        client->sendMessageAsync("alice", "bob", "hello", [&](bool) { done.fetch_add(1); });
    }
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (done.load() < inFlight && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("%lld\n", velmora::detail::sessionStats().connectionsOpened - before);
}

void handshakes(const Setup& s, int count) {
    auto client = makeClient(s);
    const long long before = velmora::detail::sessionStats().connectionsOpened;
    for (int i = 0; i < count; ++i) {
        if (!client->sendMessageSync("alice", "bob", "hello")) std::abort();
    }
    std::printf("%lld\n", velmora::detail::sessionStats().connectionsOpened - before);
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
        const Setup s = setupFor(argv[3]);
        const std::string impl = argv[2];
        const int n = std::atoi(argv[4]);
        const double seconds = std::atof(argv[5]);
        double rate = 0;
        if (impl == "lib") rate = tputLibrary(s, n, seconds);
        else if (impl == "multi") rate = tputMulti(s, n, seconds);
        else if (impl == "threads") rate = tputThreads(s, n, seconds);
        else return usage();
        std::printf("%.0f %.1f %.2f\n", rate, Meter::cpuUsPerCall, Meter::switchesPerCall);
    } else if (mode == "turns" && (argc == 6 || argc == 7)) {
        const bool threads = argc == 7 && std::strcmp(argv[6], "threads") == 0;
        if (argc == 7 && !threads && std::strcmp(argv[6], "multi") != 0) return usage();
        tputInTurn(setupFor(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]) / 1000.0, threads);
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
    } else if (mode == "tls") {
        handshakes(setupFor(argv[2]), std::atoi(argv[3]));
    } else {
        return usage();
    }
    std::fflush(stdout);
    return 0;
}
