// Load and lifetimes: many calls at once, every form and the timers together, and clients
// and processes that go away while calls are in flight. Loads are sized to run in seconds,
// smaller under the thread sanitizer, which slows everything several times over.

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <velmora/run_loop.hpp>
#include <velmora/velmora.hpp>

#include "client/service_call.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using detail::Endpoint;
using testing::Reply;
using testing::TestServer;

#if defined(__SANITIZE_THREAD__)
constexpr int kScale = 5;  // loads are divided by this
#else
constexpr int kScale = 1;
#endif

int threadCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        ::closedir(d);
    }
    return n;
}

long rssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// Holds every request at the server until opened. The server records a request only once
// its reply is chosen, so the gate counts the arrivals it holds itself.
class Gate {
public:
    ~Gate() { open(); }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    bool waitOpen(std::chrono::seconds limit = 120s) {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        return changed_.wait_for(lock, limit, [&] { return open_; });
    }
    bool waitArrivals(int count, std::chrono::seconds limit = 60s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return arrived_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int arrived_ = 0;
};

// Opens the gate when a test ends early, before the server (declared earlier) stops: a
// server stops only once its held requests are answered.
struct OpenOnExit {
    Gate& gate;
    ~OpenOnExit() { gate.open(); }
};

std::string echoBody(const std::string& key, const std::string& value) {
    return R"({"d":")" + key + "|" + value + R"("})";
}

// The store read and the message fetch answered from the request itself, so every reply
// can be checked against the call that asked for it.
void serveEchoes(TestServer& server, Gate* gate = nullptr) {
    server.handle("/corvane.asmx/read", [gate](const testing::Request& r) {
        if (gate != nullptr) gate->waitOpen();
        const auto body = JsonValue::parse(r.body, nullptr, false);
        if (!body.is_object() || !body.contains("chiave")) return Reply{200, echoBody("raw", r.body)};
        const std::string key = body["chiave"].get<std::string>();
        return Reply{200, echoBody(key, body["gruppo"].get<std::string>() + "." + key)};
    });
    server.handle("/corvane.asmx/receiveMessage", [gate](const testing::Request& r) {
        if (gate != nullptr) gate->waitOpen();
        const auto body = JsonValue::parse(r.body, nullptr, false);
        return Reply{200, echoBody("to", body.value("destinatario", std::string("?")))};
    });
}

JsonValue expectedRead(const std::string& team, const std::string& key) {
    return JsonValue{{key, team + "." + key}};
}

// Every completion runs exactly once with its own reply; the process holds no more threads
// afterwards than before; the memory each call in flight holds is measured.
TEST(Load, TenThousandNonBlockingCallsInFlightAtOnce) {
    const int calls = 10'000 / kScale;
    Gate gate;
    TestServer server;
    OpenOnExit opener{gate};
    serveEchoes(server, &gate);
    auto client = Velmora::create({server.origin(), server.caFile(), 300.0});
    // The I/O thread starts with the first call, the delivery thread with the first completion.
    ASSERT_TRUE(client->writeSync("t", "g", "warm", 1));
    testing::Counter warm;
    ASSERT_TRUE(client->writeAsync("t", "g", "warm", 1, [&](bool) { warm.add(); }));
    ASSERT_TRUE(warm.waitFor(1));
    const int threadsBefore = threadCount();
    const long rssBefore = rssKiB();

    std::vector<std::atomic<int>> completions(static_cast<std::size_t>(calls));
    std::atomic<int> wrong{0};
    testing::Counter done;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        const std::string key = "k" + std::to_string(i);
        ASSERT_TRUE(client->readAsync("t", "g", key, [&, i, key](const JsonValue& j) {
            if (j != expectedRead("t", key)) wrong.fetch_add(1);
            completions[static_cast<std::size_t>(i)].fetch_add(1);
            done.add();
        }));
    }
    // Every call is in flight: the first ones are held at the server, the rest queue for a
    // connection.
    ASSERT_TRUE(gate.waitArrivals(std::min(32, calls)));
    const int threadsInFlight = threadCount();
    const long rssInFlight = rssKiB();
    EXPECT_EQ(done.value(), 0);
    gate.open();

    ASSERT_TRUE(done.waitFor(calls, std::chrono::seconds(240))) << done.value() << " of " << calls;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A completion that came twice would come right behind the others, on the same queue.
    testing::Counter sentinel;
    client->readAsync("t", "g", "last", [&](const JsonValue&) { sentinel.add(); });
    ASSERT_TRUE(sentinel.waitFor(1));
    EXPECT_EQ(done.value(), calls);
    int notOnce = 0;
    for (auto& c : completions) notOnce += c.load() != 1;
    EXPECT_EQ(notOnce, 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(threadsInFlight, threadsBefore);
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(calls) + 3);
    std::printf("[ measured ] %d calls in flight: threads %d before, %d in flight, %d after; "
                "RSS +%ld KiB in flight (%.2f KiB per call); all completed in %.1f s\n",
                calls, threadsBefore, threadsInFlight, threadCount(), rssInFlight - rssBefore,
                static_cast<double>(rssInFlight - rssBefore) / calls, seconds);
}

// Blocking callers, non-blocking callers and ticking timers share one session: each gets
// the reply to its own call.
TEST(Load, BlockingNonBlockingAndTimersTogetherEachGetTheirOwnReplies) {
    constexpr int kBlockingThreads = 32;
    const int blockingCalls = 40 / kScale;
    constexpr int kAsyncThreads = 4;
    const int asyncCalls = 200 / kScale;
    constexpr int kTimerThreads = 2;

    TestServer server;
    serveEchoes(server);
    auto client = Velmora::create({server.origin(), server.caFile(), 60.0});
    // Shared with the timers' completions: a fetch still on the wire when its timers stop
    // completes after the test's own locals are gone.
    struct Tally {
        std::atomic<int> wrong{0};
        std::mutex mutex;
        std::string firstMiss;  // what the first wrong result was, for the failure message
        std::atomic<int> ticks{0};
        void miss(const std::string& what) {
            wrong.fetch_add(1);
            std::lock_guard lock(mutex);
            if (firstMiss.empty()) firstMiss = what;
        }
    };
    auto tally = std::make_shared<Tally>();
    auto miss = [tally](const std::string& what) { tally->miss(what); };
    std::atomic<int> blockingDone{0};
    std::atomic<bool> finished{false};
    testing::Counter asyncDone;

    std::vector<std::thread> threads;
    for (int t = 0; t < kTimerThreads; ++t) {
        threads.emplace_back([&, t] {
            auto own = Velmora::create({server.origin(), server.caFile(), 60.0});
            own->setTimeInterval(0.02);
            const std::string receiver = "r" + std::to_string(t);
            own->receiveMessages(receiver, [tally, receiver](const JsonValue& j) {
                if (j != JsonValue{{"to", receiver}}) tally->miss("timer fetch " + receiver + ": " + j.dump());
                tally->ticks.fetch_add(1);
            });
            while (!finished.load()) RunLoop::current().runFor(50ms);
            own->stopTimers();
        });
    }
    for (int t = 0; t < kBlockingThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string team = "b" + std::to_string(t);
            for (int i = 0; i < blockingCalls; ++i) {
                const std::string key = "k" + std::to_string(i);
                const StringMap got = client->readSync(team, "g", key);
                if (got != StringMap{{key, team + "." + key}}) miss("readSync " + team + "/" + key + ": " + JsonValue(got).dump());
                blockingDone.fetch_add(1);
            }
        });
    }
    for (int t = 0; t < kAsyncThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string team = "a" + std::to_string(t);
            for (int i = 0; i < asyncCalls; ++i) {
                const std::string key = "k" + std::to_string(i);
                client->readAsync(team, "g", key, [&, team, key](const JsonValue& j) {
                    if (j != expectedRead(team, key)) miss("readAsync " + team + "/" + key + ": " + j.dump());
                    asyncDone.add();
                });
            }
        });
    }
    for (std::size_t i = kTimerThreads; i < threads.size(); ++i) threads[i].join();
    EXPECT_TRUE(asyncDone.waitFor(kAsyncThreads * asyncCalls, 120s));
    finished = true;
    for (int i = 0; i < kTimerThreads; ++i) threads[static_cast<std::size_t>(i)].join();

    std::lock_guard lock(tally->mutex);
    EXPECT_EQ(tally->wrong.load(), 0) << "first: " << tally->firstMiss;
    EXPECT_EQ(blockingDone.load(), kBlockingThreads * blockingCalls);
    EXPECT_EQ(asyncDone.value(), kAsyncThreads * asyncCalls);
    EXPECT_GT(tally->ticks.load(), 0);
    std::printf("[ measured ] %d blocking calls on %d threads, %d non-blocking, %d timer fetches\n",
                kBlockingThreads * blockingCalls, kBlockingThreads, kAsyncThreads * asyncCalls, tally->ticks.load());
}

// ---------------------------------------------------------------------------------------
// Lifetimes.

// The last reference to a client goes while its calls are in flight: the calls finish,
// each completion runs once with its reply, and the client is freed.
TEST(Lifetime, ClientReleasedWithCallsInFlight) {
    Gate gate;
    TestServer server;
    OpenOnExit opener{gate};
    serveEchoes(server, &gate);
    auto client = Velmora::create({server.origin(), server.caFile(), 60.0});
    std::weak_ptr<Velmora> watch = client;
    constexpr int kCalls = 100;
    testing::Counter done;
    std::atomic<int> wrong{0};
    for (int i = 0; i < kCalls; ++i) {
        const std::string key = "k" + std::to_string(i);
        client->readAsync("t", "g", key, [&, key](const JsonValue& j) {
            if (j != expectedRead("t", key)) wrong.fetch_add(1);
            done.add();
        });
        client->receiveMessageAsync("bob", [&](const JsonValue& j) {
            if (j != JsonValue{{"to", "bob"}}) wrong.fetch_add(1);
            done.add();
        });
    }
    ASSERT_TRUE(gate.waitArrivals(1));
    client.reset();
    EXPECT_TRUE(watch.expired());  // calls in flight do not hold the client
    gate.open();
    EXPECT_TRUE(done.waitFor(2 * kCalls, 60s));
    EXPECT_EQ(wrong.load(), 0);
}

// The process ends while a thread's timers tick, blocking and non-blocking calls are in
// flight and another thread waits inside a call: it exits with its own exit code. The peer
// takes connections into its backlog and never answers, so the exiting process holds no
// server threads of its own (an HTTP server library's workers racing its exit handlers
// would make the test about the server).
[[noreturn]] void exitWithTimersAndCallsInFlight() {
    static const testing::SilentPeer peer;
    static auto client = Velmora::create({peer.origin(), "", 60.0});
    std::thread([] {
        auto own = Velmora::create({peer.origin(), "", 60.0});
        own->setTimeInterval(0.005);
        own->setStatusInterval(0.005);
        own->receiveMessages("x", [](const JsonValue&) {});
        own->initUser("t", "a", "u", 1);
        RunLoop::current().run();
    }).detach();
    std::thread([] { client->writeSync("t", "g", "k", 1); }).detach();
    for (int i = 0; i < 50; ++i) client->writeAsync("t", "g", "k", i, [](bool) {});
    peer.waitForConnection(10s);
    std::this_thread::sleep_for(100ms);  // some twenty timer periods
    std::exit(3);
}

TEST(Lifetime, ProcessExitsWithTimersRunningAndCallsInFlight) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithTimersAndCallsInFlight(), ::testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace velmora
