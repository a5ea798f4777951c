// Presence: what each operation sends, when its timers tick, what they hold and how they
// are stopped, against the loopback service.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <limits>
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
using vt::closedOrigin;
using vt::serveUntil;
using vt::waitUntil;

constexpr const char* kPath = "/corvane.asmx/refreshStatus";
const StringMap kUsers{{"a", "x"}, {"b", "y"}};

// One service for the whole suite: the library keeps its connections open, and a server
// with clients still connected takes its keep-alive timeout to stop.
class PresenceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { shared_ = std::make_unique<vt::TestServer>(); }
    static void TearDownTestSuite() { shared_.reset(); }

    void SetUp() override {
        base_ = server.requestCount();
        server.handle(kPath, [this](const vt::Request&) {
            recordArrival();
            std::lock_guard lock(mutex_);
            return reply_;
        });
        client = Velmora::create({server.origin(), server.caFile(), 10.0});
    }
    void TearDown() override {
        if (client) client->stopTimers();
        // The handler refers to this fixture; later requests get a plain reply.
        server.script(kPath, {.body = R"({"d":""})"});
    }

    void reply(vt::Reply r) {
        std::lock_guard lock(mutex_);
        reply_ = std::move(r);
    }
    // The first exchange of a process sets up TLS and loads the trust, which under a
    // sanitizer takes longer than the intervals under test; a blocking call first leaves a
    // warm connection for the ticks, and is then forgotten.
    void warmUp() {
        ASSERT_EQ(client->getUsers("team", "app", "warm-up", 1, false, false), kUsers);
        base_ = server.requestCount();
        std::lock_guard lock(mutex_);
        arrivals_.clear();
    }
    // Arrival times of the presence requests of `user` in this test.
    std::vector<Clock::time_point> arrivalsOf(const std::string& user) const {
        const auto all = server.requests();
        std::lock_guard lock(mutex_);
        std::vector<Clock::time_point> out;
        for (std::size_t i = base_, n = 0; i < all.size(); ++i) {
            if (all[i].path != kPath) continue;
            if (JsonValue::parse(all[i].body).value("userName", "") == user) out.push_back(arrivals_.at(n));
            ++n;
        }
        return out;
    }
    void recordArrival() {
        std::lock_guard lock(mutex_);
        arrivals_.push_back(Clock::now());
    }
    std::vector<Clock::time_point> arrivals() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    // Presence requests of this test only.
    std::size_t requests() const { return bodies().size(); }
    bool waitForRequests(std::size_t count, Clock::duration limit) const {
        const auto deadline = Clock::now() + limit;
        while (requests() < count && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
        return requests() >= count;
    }
    std::vector<JsonValue> bodies() const {
        std::vector<JsonValue> out;
        const auto all = server.requests();
        for (std::size_t i = base_; i < all.size(); ++i) {
            if (all[i].path == kPath) out.push_back(JsonValue::parse(all[i].body));
        }
        return out;
    }
    std::vector<JsonValue> bodiesOf(const std::string& user) const {
        std::vector<JsonValue> out;
        for (auto& b : bodies()) {
            if (b.value("userName", "") == user) out.push_back(b);
        }
        return out;
    }

    static inline std::unique_ptr<vt::TestServer> shared_;
    vt::TestServer& server = *shared_;
    std::shared_ptr<Velmora> client;

private:
    std::size_t base_ = 0;
    mutable std::mutex mutex_;
    vt::Reply reply_{.body = R"({"d":"a|x\u00a7b|y"})"};
    std::vector<Clock::time_point> arrivals_;
};

// A repeating timer ticks on the grid start + k * period, at most once per point, never
// early: the request of the k-th tick (from 0) cannot reach the service before start +
// (k + 1) * period, whatever the load. This bound holds on a loaded machine, where counting
// ticks in a fixed window does not.
void expectOnTheGrid(const std::vector<Clock::time_point>& arrivals, Clock::time_point start,
                     Clock::duration period) {
    for (std::size_t k = 0; k < arrivals.size(); ++k) {
        EXPECT_GE(arrivals[k] - start, static_cast<long>(k + 1) * period) << "tick " << k;
    }
}

void expectBody(const JsonValue& body, const std::string& team, const std::string& appCode,
                std::int64_t refreshRate, const std::string& userName, const std::string& status,
                bool returnList, bool onlyOnlineUsers) {
    SCOPED_TRACE(body.dump());
    ASSERT_TRUE(body.is_object());
    EXPECT_EQ(body.size(), 7u);
    EXPECT_EQ(body.at("gruppo"), team);
    EXPECT_EQ(body.at("codiceApp"), appCode);
    EXPECT_TRUE(body.at("refreshRate").is_number_integer());
    EXPECT_EQ(body.at("refreshRate").get<std::int64_t>(), refreshRate);
    EXPECT_EQ(body.at("userName"), userName);
    EXPECT_EQ(body.at("status"), status);
    EXPECT_TRUE(body.at("returnList").is_boolean());
    EXPECT_EQ(body.at("returnList").get<bool>(), returnList);
    EXPECT_TRUE(body.at("onlyOnlineUsers").is_boolean());
    EXPECT_EQ(body.at("onlyOnlineUsers").get<bool>(), onlyOnlineUsers);
}

TEST_F(PresenceTest, GetUsersSendsTheStatusSettingAndTheCallersFlags) {
    struct Case {
        std::int64_t refreshRate;
        bool returnList, onlyOnlineUsers;
    } cases[] = {
        {42, false, false},
        {-1, true, false},
        {0, false, true},
        {std::numeric_limits<std::int64_t>::max(), true, true},
    };
    client->setStatus("BUSY");
    for (const auto& c : cases) {
        EXPECT_EQ(client->getUsers("team", "app", "ann", c.refreshRate, c.returnList, c.onlyOnlineUsers), kUsers);
        expectBody(bodies().back(), "team", "app", c.refreshRate, "ann", "BUSY", c.returnList, c.onlyOnlineUsers);
    }
}

TEST_F(PresenceTest, StatusOperationSendsItsOwnArgumentsAndLeavesTheSetting) {
    EXPECT_EQ(client->status("team", "app", 7, "bob", "AWAY", true, true), kUsers);
    expectBody(bodies().back(), "team", "app", 7, "bob", "AWAY", true, true);
    EXPECT_EQ(client->status(), "ON");
}

TEST_F(PresenceTest, RepliesDecodeWithBareValuesUnderTheEmptyKeyAndFailuresAreEmpty) {
    struct Case {
        vt::Reply reply;
        StringMap expected;
    } cases[] = {
        {{.body = R"({"d":"done"})"}, {{"", "done"}}},
        {{.body = R"({"d":"\"a|x\""})"}, {{"a", "x"}}},
        {{.body = R"({"d":""})"}, {}},
        {{.status = 500, .body = "not json"}, {}},
        {{.body = R"({"d":true})"}, {}},
    };
    for (const auto& c : cases) {
        reply(c.reply);
        EXPECT_EQ(client->getUsers("t", "a", "u", 1, true, false), c.expected) << c.reply.body;
    }
}

TEST_F(PresenceTest, InitUserSendsNothingAtOnceThenReportsTheStatusReadAtEachTick) {
    client->setStatusInterval(0.1);
    const auto start = Clock::now();
    client->initUser("team", "app", "ann", 5);
    EXPECT_EQ(requests(), 0u);
    RunLoop::current().runFor(50ms);
    EXPECT_EQ(requests(), 0u) << "ticked before one interval";
    ASSERT_TRUE(serveUntil([&] { return requests() >= 1; }));
    EXPECT_GE(arrivals().at(0) - start, 100ms);
    client->setStatus("AWAY");
    ASSERT_TRUE(serveUntil([&] { return requests() >= 2; }));
    const auto sent = bodies();
    expectBody(sent.at(0), "team", "app", 5, "ann", "ON", false, false);
    expectBody(sent.at(1), "team", "app", 5, "ann", "AWAY", false, false);
    EXPECT_GE(arrivals().at(1) - start, 200ms);
}

TEST_F(PresenceTest, IntervalsAreReadOnceWhenATimerStarts) {
    warmUp();
    const auto start = Clock::now();
    client->setStatusInterval(0.04);
    client->initUser("team", "app", "fast", 1);
    client->setStatusInterval(3600);  // reaches only timers started later
    client->initUser("team", "app", "slow", 1);
    client->setTimeInterval(0.04);
    client->receiveUsers("team", "app", "list", 1, nullptr);
    client->setTimeInterval(3600);
    // Had the running timers read the later setting, they would not tick within the hour.
    ASSERT_TRUE(serveUntil([&] { return bodiesOf("fast").size() >= 4 && bodiesOf("list").size() >= 4; }));
    client->stopTimers();
    expectOnTheGrid(arrivalsOf("fast"), start, 40ms);
    expectOnTheGrid(arrivalsOf("list"), start, 40ms);
    EXPECT_EQ(bodiesOf("slow").size(), 0u);
}

TEST_F(PresenceTest, TimersOfOneClientAreIndependent) {
    warmUp();
    const auto start = Clock::now();
    client->setStatusInterval(0.05);
    client->initUser("team", "app", "ann", 1);
    client->setTimeInterval(0.15);
    int lists = 0;
    EXPECT_TRUE(client->receiveUsers("team", "app", "bob", 2, [&](const JsonValue&) { ++lists; }));
    // Each list is handed over in the tick that fetched it, so the count matches at once.
    ASSERT_TRUE(serveUntil([&] { return bodiesOf("bob").size() >= 4; }));
    client->stopTimers();
    const auto ann = bodiesOf("ann");
    const auto bob = bodiesOf("bob");
    expectOnTheGrid(arrivalsOf("ann"), start, 50ms);
    expectOnTheGrid(arrivalsOf("bob"), start, 150ms);
    // Ann's grid has twelve points by Bob's fourth tick; had her timer followed Bob's
    // period she would have four. Six leaves room for a loaded machine's skipped ticks.
    EXPECT_GE(ann.size(), 6u);
    EXPECT_EQ(lists, static_cast<int>(bob.size()));
    for (const auto& b : ann) expectBody(b, "team", "app", 1, "ann", "ON", false, false);
    for (const auto& b : bob) expectBody(b, "team", "app", 2, "bob", "ON", true, false);
}

TEST_F(PresenceTest, ReceiveUsersHandsEachListToTheCompletionOnTheTimersThread) {
    client->setTimeInterval(0.03);
    std::vector<JsonValue> lists;
    std::vector<std::thread::id> calledOn;
    EXPECT_TRUE(client->receiveUsers("team", "app", "ann", 9, [&](const JsonValue& users) {
        lists.push_back(users);
        calledOn.push_back(std::this_thread::get_id());
    }));
    EXPECT_EQ(requests(), 0u);
    ASSERT_TRUE(serveUntil([&] { return lists.size() >= 1; }));
    client->setStatus("AWAY");
    ASSERT_TRUE(serveUntil([&] { return lists.size() >= 2; }));
    for (const auto& users : lists) EXPECT_EQ(users, JsonValue({{"a", "x"}, {"b", "y"}}));
    for (const auto& id : calledOn) EXPECT_EQ(id, std::this_thread::get_id());
    const auto sent = bodies();
    expectBody(sent.at(0), "team", "app", 9, "ann", "ON", true, false);
    expectBody(sent.at(1), "team", "app", 9, "ann", "AWAY", true, false);
}

TEST_F(PresenceTest, ReceiveUsersCallsBackWithAnEmptyObjectWhenTheServiceIsDown) {
    auto offline = Velmora::create({closedOrigin(), {}, 10.0});
    offline->setTimeInterval(0.03);
    std::vector<JsonValue> lists;
    std::vector<std::thread::id> calledOn;
    EXPECT_TRUE(offline->receiveUsers("team", "app", "ann", 1, [&](const JsonValue& users) {
        lists.push_back(users);
        calledOn.push_back(std::this_thread::get_id());
    }));
    EXPECT_TRUE(serveUntil([&] { return lists.size() >= 3; }));
    offline->stopTimers();
    for (const auto& users : lists) EXPECT_EQ(users, JsonValue::object());
    for (const auto& id : calledOn) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(PresenceTest, ACompletionThatThrowsLeavesTheTimerRunning) {
    client->setTimeInterval(0.02);
    int calls = 0;
    client->receiveUsers("team", "app", "ann", 1, [&](const JsonValue&) {
        ++calls;
        throw std::runtime_error("completion");
    });
    EXPECT_TRUE(serveUntil([&] { return calls >= 3; }));
}

TEST_F(PresenceTest, ATickBlocksItsLoopSoTicksNeverOverlapAndMissedOnesAreSkipped) {
    warmUp();
    // The first two replies take 150 ms, five periods; the later ones come at once.
    std::atomic<int> served{0};
    server.handle(kPath, [this, &served](const vt::Request&) {
        recordArrival();
        return vt::Reply{.body = R"({"d":"a|x"})", .delay = served++ < 2 ? 150ms : 0ms};
    });
    client->setTimeInterval(0.03);
    int calls = 0;
    client->receiveUsers("team", "app", "ann", 1, [&](const JsonValue&) { ++calls; });
    ASSERT_TRUE(serveUntil([&] { return arrivals().size() >= 6; }));
    client->stopTimers();
    const auto at = arrivals();
    // Each request waits for the reply to the one before.
    EXPECT_GE(at[1] - at[0], 150ms);
    EXPECT_GE(at[2] - at[1], 150ms);
    // Of the ticks missed during a slow reply, one runs late at once; the others are
    // skipped, and the ticks after the late one keep to the grid instead of making up
    // for the missed ones in a burst.
    const auto slowReplyEnd = at[1] + 150ms;
    EXPECT_GE(at[2] - slowReplyEnd, 0ms);
    for (std::size_t k = 3; k < at.size(); ++k) {
        EXPECT_GE(at[k] - slowReplyEnd, static_cast<long>(k - 3) * 30ms) << "tick " << k;
    }
    EXPECT_EQ(calls, static_cast<int>(at.size()));
}

TEST_F(PresenceTest, ACompletionMayMakeABlockingCallOnTheTimersThread) {
    client->setTimeInterval(0.02);
    std::vector<StringMap> fetched;
    client->receiveUsers("team", "app", "ann", 1, [&](const JsonValue&) {
        fetched.push_back(client->getUsers("team", "app", "ann", 1, false, true));
    });
    ASSERT_TRUE(serveUntil([&] { return fetched.size() >= 2; }));
    for (const auto& users : fetched) EXPECT_EQ(users, kUsers);
}

TEST_F(PresenceTest, TimersKeepTheClientAliveUntilStopTimers) {
    client->setStatusInterval(0.02);
    client->setTimeInterval(0.02);
    client->initUser("team", "app", "ann", 1);
    client->receiveUsers("team", "app", "bob", 1, nullptr);
    std::weak_ptr<Velmora> watch = client;
    client.reset();
    ASSERT_TRUE(serveUntil([&] { return requests() >= 4; }));
    ASSERT_FALSE(watch.expired());
    watch.lock()->stopTimers();
    EXPECT_TRUE(watch.expired());
    const auto sent = requests();
    RunLoop::current().runFor(150ms);
    EXPECT_EQ(requests(), sent);
}

TEST_F(PresenceTest, StopTimersInsideACompletionEndsEveryTimerAndReleasesTheClient) {
    client->setStatusInterval(0.02);
    client->initUser("team", "app", "ann", 1);
    client->setTimeInterval(0.05);
    std::weak_ptr<Velmora> watch = client;
    int calls = 0;
    client->receiveUsers("team", "app", "bob", 1, [&, watch](const JsonValue&) {
        ++calls;
        if (auto self = watch.lock()) {
            self->stopTimers();
            self->stopTimers();  // twice is harmless
        }
    });
    client.reset();
    ASSERT_TRUE(serveUntil([&] { return calls >= 1; }));
    EXPECT_TRUE(watch.expired());
    const auto sent = requests();
    RunLoop::current().runFor(150ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(requests(), sent);
}

TEST_F(PresenceTest, StopTimersFromAnotherThreadLetsTheRunningTickFinishAndStartsNoOther) {
    reply({.body = R"({"d":"a|x"})", .delay = 300ms});
    std::weak_ptr<Velmora> watch = client;
    std::atomic<int> calls{0};
    std::atomic<bool> quit{false};
    std::thread loopThread([&, c = client]() mutable {
        c->setTimeInterval(0.02);
        c->receiveUsers("team", "app", "ann", 1, [&](const JsonValue&) { ++calls; });
        c.reset();
        while (!quit) RunLoop::current().runFor(10ms);
    });
    ASSERT_TRUE(waitForRequests(1, 10s));  // the first tick is now blocked in its exchange
    client->stopTimers();
    client.reset();
    const auto deadline = Clock::now() + 10s;
    while ((calls < 1 || !watch.expired()) && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(watch.expired());
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(requests(), 1u);
    quit = true;
    loopThread.join();
}

TEST_F(PresenceTest, AThreadThatEndsReleasesItsTimersAndTheirClient) {
    std::weak_ptr<Velmora> watch = client;
    std::thread([this, c = std::move(client)]() mutable {
        c->setStatusInterval(0.02);
        c->setTimeInterval(0.02);
        c->initUser("team", "app", "ann", 1);
        c->receiveUsers("team", "app", "bob", 1, [](const JsonValue&) {});
        c->receiveMessages("ann", [](const JsonValue&) {});
        c.reset();
        serveUntil([&] { return requests() >= 3; });
    }).join();
    EXPECT_TRUE(watch.expired());
    EXPECT_GE(requests(), 3u);
    // Requests of the last ticks may still be on their way; after that, nothing more comes.
    std::this_thread::sleep_for(300ms);
    const auto sent = requests();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(requests(), sent);
}

TEST_F(PresenceTest, ATimerOnALoopThatIsNeverServedNeverTicks) {
    client->setStatusInterval(0.01);
    std::thread([c = client] { c->initUser("team", "app", "ann", 1); }).join();
    client->setTimeInterval(0.01);
    std::thread([c = client] {
        c->receiveUsers("team", "app", "bob", 1, nullptr);
        std::this_thread::sleep_for(100ms);
    }).join();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(requests(), 0u);
}

}  // namespace
}  // namespace velmora
