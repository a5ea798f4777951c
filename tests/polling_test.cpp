// Message polling: one non-blocking fetch per tick through the class's own fetch, never
// waiting for it, against the loopback service.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <velmora/velmora.hpp>

#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace vt = velmora::testing;
using vt::serveUntil;
using vt::waitUntil;

constexpr const char* kPath = "/corvane.asmx/receiveMessage";

// What the completions of one test saw; they run on the delivery thread.
struct Deliveries {
    void add(const JsonValue& value) {
        std::lock_guard lock(mutex);
        values.push_back(value);
        threads.push_back(std::this_thread::get_id());
    }
    std::size_t count() const {
        std::lock_guard lock(mutex);
        return values.size();
    }
    mutable std::mutex mutex;
    std::vector<JsonValue> values;
    std::vector<std::thread::id> threads;
};

// One service for the whole suite: the library keeps its connections open, and a server
// with clients still connected takes its keep-alive timeout to stop.
class PollingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared_ = std::make_unique<vt::TestServer>(); }
    static void TearDownTestSuite() { shared_.reset(); }

    void SetUp() override {
        base_ = server.requestCount();
        server.script(kPath, {.body = R"({"d":"ann|hello\u00a7bob|hi"})"});
        client = Velmora::create({server.origin(), server.caFile(), 10.0});
        client->setTimeInterval(0.03);
    }
    void TearDown() override {
        if (client) client->stopTimers();
    }

    // Fetches for `receiver` made during this test: a fetch of an earlier test may still
    // land after it ended.
    std::vector<vt::Request> sent() const {
        const auto all = server.requests();
        std::vector<vt::Request> out;
        for (std::size_t i = base_; i < all.size(); ++i) {
            if (all[i].path == kPath && all[i].body.find(receiver) != std::string::npos) out.push_back(all[i]);
        }
        return out;
    }
    std::size_t requests() const { return sent().size(); }

    // Unique to the test, so that its fetches can be told from those of others.
    const std::string receiver = ::testing::UnitTest::GetInstance()->current_test_info()->name();

    static inline std::unique_ptr<vt::TestServer> shared_;
    vt::TestServer& server = *shared_;
    std::shared_ptr<Velmora> client;

private:
    std::size_t base_ = 0;
};

TEST_F(PollingTest, EachTickFetchesOnceAndTheCompletionRunsOnTheDeliveryThread) {
    // The first exchange of a process sets up TLS and loads the trust, longer than the
    // interval under a sanitizer: one fetch first leaves a warm connection for the ticks.
    auto warm = std::make_shared<Deliveries>();
    ASSERT_TRUE(client->receiveMessageAsync("warm-up", [warm](const JsonValue& v) { warm->add(v); }));
    ASSERT_TRUE(waitUntil([&] { return warm->count() == 1; }));

    auto arrivals = std::make_shared<std::vector<Clock::time_point>>();
    auto arrivalsMutex = std::make_shared<std::mutex>();
    server.handle(kPath, [arrivals, arrivalsMutex](const vt::Request&) {
        std::lock_guard lock(*arrivalsMutex);
        arrivals->push_back(Clock::now());
        return vt::Reply{.body = R"({"d":"ann|hello\u00a7bob|hi"})"};
    });
    client->setTimeInterval(0.1);
    auto got = std::make_shared<Deliveries>();
    const auto start = Clock::now();
    EXPECT_TRUE(client->receiveMessages(receiver, [got](const JsonValue& v) { got->add(v); }));
    client->setTimeInterval(3600);  // the running timer keeps its interval
    ASSERT_TRUE(serveUntil([&] { return requests() >= 4; }));
    client->stopTimers();
    ASSERT_TRUE(waitUntil([&] { return got->count() == requests(); }));
    {
        // One request per point of the grid start + k * 100 ms, never early and never a
        // burst: the k-th (from 0) cannot arrive before start + (k + 1) * 100 ms.
        std::lock_guard lock(*arrivalsMutex);
        for (std::size_t k = 0; k < arrivals->size(); ++k) {
            EXPECT_GE(arrivals->at(k) - start, static_cast<long>(k + 1) * 100ms) << "fetch " << k;
        }
    }
    for (const auto& r : sent()) {
        EXPECT_EQ(r.path, kPath);
        EXPECT_EQ(JsonValue::parse(r.body), JsonValue({{"destinatario", receiver}}));
    }
    std::lock_guard lock(got->mutex);
    for (const auto& v : got->values) EXPECT_EQ(v, JsonValue({{"ann", "hello"}, {"bob", "hi"}}));
    for (const auto& id : got->threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(PollingTest, AReplyWithoutRecordsGivesAnEmptyObject) {
    server.script(kPath, {.body = R"({"d":""})"});
    auto got = std::make_shared<Deliveries>();
    client->receiveMessages(receiver, [got](const JsonValue& v) { got->add(v); });
    ASSERT_TRUE(serveUntil([&] { return got->count() >= 1; }));
    std::lock_guard lock(got->mutex);
    EXPECT_EQ(got->values.front(), JsonValue::object());
}

TEST_F(PollingTest, TicksDoNotWaitSoFetchesToASlowServiceOverlap) {
    // Each reply takes far longer than a loaded machine needs to send the next requests.
    server.script(kPath, {.body = R"({"d":"a|b"})", .delay = 3s});
    auto got = std::make_shared<Deliveries>();
    client->receiveMessages(receiver, [got](const JsonValue& v) { got->add(v); });
    // Several requests are out while not one reply has come back.
    ASSERT_TRUE(serveUntil([&] { return requests() >= 3; }));
    EXPECT_EQ(got->count(), 0u) << "a tick waited for its reply";
    client->stopTimers();
    // The last tick's request may still be on its way, but no reply can come back before
    // it arrives: each reply takes far longer than any request's trip.
    EXPECT_TRUE(waitUntil([&] { return got->count() >= 3 && got->count() == requests(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(got->count(), requests());
}

TEST_F(PollingTest, AnUnreachableServiceGetsARequestEveryTickAndNoCompletion) {
    std::atomic<int> accepted{0};
    vt::RawServer raw([&](int fd) {
        if (vt::readHttpRequest(fd)) ++accepted;
        ::shutdown(fd, SHUT_RDWR);  // no reply; the server closes the socket itself
    });
    auto offline = Velmora::create({raw.origin(), {}, 10.0});
    offline->setTimeInterval(0.03);
    auto calls = std::make_shared<std::atomic<int>>(0);
    EXPECT_TRUE(offline->receiveMessages(receiver, [calls](const JsonValue&) { ++*calls; }));
    EXPECT_TRUE(serveUntil([&] { return accepted >= 4; }));
    offline->stopTimers();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls->load(), 0);
}

TEST_F(PollingTest, TheTickUsesTheClassesOwnFetchNotASubclassOverride) {
    struct Custom : Velmora {
        explicit Custom(ServiceConfig config) : Velmora(std::move(config)) {}
        bool receiveMessageAsync(const std::string&, ValueCallback) override {
            ++overrideCalls;
            return false;
        }
        std::atomic<int> overrideCalls{0};
    };
    auto custom = std::make_shared<Custom>(ServiceConfig{server.origin(), server.caFile(), 10.0});
    custom->setTimeInterval(0.03);
    auto got = std::make_shared<Deliveries>();
    EXPECT_TRUE(custom->receiveMessages(receiver, [got](const JsonValue& v) { got->add(v); }));
    EXPECT_TRUE(serveUntil([&] { return got->count() >= 2; }));
    custom->stopTimers();
    EXPECT_EQ(custom->overrideCalls.load(), 0);
    EXPECT_GE(requests(), 2u);
}

TEST_F(PollingTest, TimersKeepTheClientAliveAndStopTimersInACompletionReleasesIt) {
    std::weak_ptr<Velmora> watch = client;
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    client->receiveMessages(receiver, [calls, stopped, watch](const JsonValue&) {
        // On the delivery thread, while the timer's loop is elsewhere.
        if (++*calls == 2) {
            if (auto self = watch.lock()) self->stopTimers();
            *stopped = true;
        }
    });
    client.reset();
    const auto deadline = Clock::now() + 30s;
    while (!*stopped && Clock::now() < deadline) {
        RunLoop::current().runFor(10ms);
        if (!*stopped) {
            EXPECT_FALSE(watch.expired());
        }
    }
    ASSERT_TRUE(*stopped);
    EXPECT_TRUE(watch.expired());
    // Fetches started before the stop may still land; none starts after it.
    RunLoop::current().runFor(50ms);
    std::this_thread::sleep_for(100ms);
    const auto fetches = requests();
    RunLoop::current().runFor(150ms);
    EXPECT_EQ(requests(), fetches);
}

}  // namespace
}  // namespace velmora
