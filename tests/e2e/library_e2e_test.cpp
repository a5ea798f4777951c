// The public client against a real velmora-service over HTTPS: every operation, both
// forms, the timers, a service restart, and many clients at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velmora/velmora.hpp>

#include "support/service_process.hpp"
#include "support/test_server.hpp"

namespace {

using namespace std::chrono_literals;
using velmora::JsonValue;
using velmora::StringMap;
using velmora::Velmora;

// Waits for values handed over on other threads.
template <class T>
class Inbox {
public:
    void put(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    // True once `done(values)` holds, within `limit`.
    template <class Pred>
    bool waitUntil(Pred done, std::chrono::milliseconds limit = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(values_); });
    }
    std::vector<T> values() {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

StringMap toMap(const JsonValue& object) {
    StringMap map;
    for (const auto& [key, value] : object.items()) map[key] = value.get<std::string>();
    return map;
}

std::vector<std::string> valuesOf(const StringMap& map) {
    std::vector<std::string> values;
    for (const auto& entry : map) values.push_back(entry.second);
    std::sort(values.begin(), values.end());
    return values;
}

// One velmora-service process on a free loopback port, with its data in `dir`.
class LibraryEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { start(); }

    void start() {
        service = std::make_unique<velmora::testing::ServiceProcess>(
            std::vector<std::string>{"--listen", "127.0.0.1:0", "--data", dir.path()});
        origin = service->origin();
        ASSERT_EQ(origin.rfind("https://", 0), 0u) << "velmora-service did not report 'listening': "
                                                   << service->standardError();
    }
    // SIGTERM and wait: the exit code of the service.
    int stop() {
        service->signal(SIGTERM);
        return service->wait();
    }
    void restart() {
        ASSERT_EQ(stop(), 0);
        start();
    }

    std::shared_ptr<Velmora> client() { return Velmora::create({origin, dir.path() + "/cert.pem", 20.0}); }

    velmora::testing::TempDir dir;
    std::unique_ptr<velmora::testing::ServiceProcess> service;
    std::string origin;
};

TEST_F(LibraryEndToEnd, MessagesBothFormsDeliverEachMessageOnce) {
    auto c = client();
    ASSERT_TRUE(c->sendMessageSync("alice", "bob", "one | with a bar"));
    Inbox<bool> sent;
    ASSERT_TRUE(c->sendMessageAsync("carol", "bob", "two", [&](bool ok) { sent.put(ok); }));
    ASSERT_TRUE(sent.waitUntil([](auto& v) { return !v.empty(); }));
    EXPECT_TRUE(sent.values().front());

    EXPECT_EQ(valuesOf(c->receiveMessageSync("bob")), (std::vector<std::string>{"one | with a bar", "two"}));
    EXPECT_TRUE(c->receiveMessageSync("bob").empty());

    ASSERT_TRUE(c->sendMessageSync("alice", "bob", "three"));
    Inbox<StringMap> fetched;
    ASSERT_TRUE(c->receiveMessageAsync("bob", [&](const JsonValue& v) { fetched.put(toMap(v)); }));
    ASSERT_TRUE(fetched.waitUntil([](auto& v) { return !v.empty(); }));
    EXPECT_EQ(valuesOf(fetched.values().front()), std::vector<std::string>{"three"});
}

TEST_F(LibraryEndToEnd, TextTheRecordFormatCannotCarryIsRefusedAndNotStored) {
    auto c = client();
    EXPECT_FALSE(c->sendMessageSync("alice", "bob", "a\xC2\xA7" "b"));
    EXPECT_TRUE(c->receiveMessageSync("bob").empty());
}

TEST_F(LibraryEndToEnd, StoreKeepsValuesOfEveryKind) {
    auto c = client();
    const struct {
        const char* key;
        JsonValue value;
        const char* read;
    } cases[] = {
        {"text", "plain | bar", "plain | bar"},
        {"number", 42, "42"},
        {"object", JsonValue{{"a", JsonValue::array({1, 2})}, {"b", nullptr}}, R"({"a":[1,2],"b":null})"},
        {"array", JsonValue::array({"x", true}), R"(["x",true])"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.key);
        ASSERT_TRUE(c->writeSync("team", "tag", k.key, k.value));
        const auto read = c->readSync("team", "tag", k.key);
        ASSERT_EQ(read.count(k.key), 1u);
        EXPECT_EQ(read.at(k.key), k.read);
    }
    EXPECT_TRUE(c->readSync("team", "tag", "never-written").empty());
    EXPECT_TRUE(c->readSync("other-team", "tag", "text").empty());

    Inbox<bool> written;
    ASSERT_TRUE(c->writeAsync("team", "tag", "async", "later", [&](bool ok) { written.put(ok); }));
    ASSERT_TRUE(written.waitUntil([](auto& v) { return !v.empty(); }));
    EXPECT_TRUE(written.values().front());
    Inbox<StringMap> read;
    ASSERT_TRUE(c->readAsync("team", "tag", "async", [&](const JsonValue& v) { read.put(toMap(v)); }));
    ASSERT_TRUE(read.waitUntil([](auto& v) { return !v.empty(); }));
    EXPECT_EQ(read.values().front(), (StringMap{{"async", "later"}}));
}

TEST_F(LibraryEndToEnd, PresenceListsTheTeamWithEachUsersStatus) {
    auto alice = client();
    auto bob = client();
    bob->setStatus("BUSY");
    EXPECT_EQ(alice->getUsers("team", "app", "alice", 30, true, false), (StringMap{{"alice", "ON"}}));
    EXPECT_EQ(bob->getUsers("team", "app", "bob", 30, true, true), (StringMap{{"alice", "ON"}, {"bob", "BUSY"}}));
    // The explicit state of status(...) is reported; the setting stays.
    EXPECT_EQ(alice->status("team", "app", 30, "alice", "AWAY", true, false),
              (StringMap{{"alice", "AWAY"}, {"bob", "BUSY"}}));
    EXPECT_EQ(alice->status(), "ON");
    EXPECT_TRUE(alice->getUsers("other", "app", "zed", 30, false, false).empty());
}

TEST_F(LibraryEndToEnd, TimersKeepPresenceAndPollMessagesOnTheCallersLoop) {
    // Shared: a fetch already on its way when the timers stop may still call back.
    auto lists = std::make_shared<Inbox<StringMap>>();
    auto messages = std::make_shared<Inbox<StringMap>>();
    std::thread worker([&] {
        auto alice = client();
        alice->setStatusInterval(0.1);
        alice->setTimeInterval(0.1);
        alice->initUser("team", "app", "alice", 1);
        alice->receiveUsers("team", "app", "alice", 1, [lists](const JsonValue& v) { lists->put(toMap(v)); });
        alice->receiveMessages("alice", [messages](const JsonValue& v) {
            if (!v.empty()) messages->put(toMap(v));
        });
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline &&
               (lists->values().empty() || messages->values().empty())) {
            velmora::RunLoop::current().runFor(50ms);
        }
        alice->stopTimers();
    });
    ASSERT_TRUE(client()->sendMessageSync("bob", "alice", "polled"));
    worker.join();

    const auto seen = lists->values();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), (StringMap{{"alice", "ON"}}));
    const auto got = messages->values();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(valuesOf(got.front()), std::vector<std::string>{"polled"});
    // The heartbeat kept alice online for the service.
    EXPECT_EQ(client()->getUsers("team", "app", "bob", 1, true, true).count("alice"), 1u);
}

TEST_F(LibraryEndToEnd, EverythingSurvivesARestart) {
    auto before = client();
    ASSERT_TRUE(before->sendMessageSync("alice", "bob", "kept"));
    ASSERT_TRUE(before->writeSync("team", "tag", "key", JsonValue{{"n", 1}}));
    ASSERT_FALSE(before->getUsers("team", "app", "alice", 30, true, false).empty());

    restart();
    ASSERT_FALSE(HasFatalFailure());
    auto after = client();
    EXPECT_EQ(valuesOf(after->receiveMessageSync("bob")), std::vector<std::string>{"kept"});
    EXPECT_EQ(after->readSync("team", "tag", "key"), (StringMap{{"key", R"({"n":1})"}}));
    EXPECT_EQ(after->getUsers("team", "app", "carol", 30, true, false).count("alice"), 1u);
    EXPECT_EQ(stop(), 0) << "the service did not stop cleanly on SIGTERM";
}

// Many clients send and fetch at once; fetchers of one recipient race each other. Every
// message arrives exactly once.
TEST_F(LibraryEndToEnd, ManyClientsAtOnceLoseAndDuplicateNothing) {
    constexpr int kSenders = 12;
    constexpr int kPerSender = 40;
    constexpr int kFetchers = 4;
    std::atomic<int> sendFailures{0};
    std::atomic<int> sendersLeft{kSenders};
    std::mutex mutex;
    std::multiset<std::string> received;

    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s) {
        threads.emplace_back([&, s] {
            auto c = client();
            for (int i = 0; i < kPerSender; ++i) {
                if (!c->sendMessageSync("sender" + std::to_string(s), "shared",
                                        std::to_string(s) + "/" + std::to_string(i))) {
                    ++sendFailures;
                }
            }
            --sendersLeft;
        });
    }
    for (int f = 0; f < kFetchers; ++f) {
        threads.emplace_back([&] {
            auto c = client();
            while (true) {
                const bool last = sendersLeft.load() == 0;
                const auto got = c->receiveMessageSync("shared");
                {
                    std::lock_guard lock(mutex);
                    for (const auto& [key, text] : got) received.insert(text);
                }
                if (last && got.empty()) return;
            }
        });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(sendFailures.load(), 0);
    std::set<std::string> expected;
    for (int s = 0; s < kSenders; ++s) {
        for (int i = 0; i < kPerSender; ++i) expected.insert(std::to_string(s) + "/" + std::to_string(i));
    }
    EXPECT_EQ(received.size(), expected.size()) << "duplicates or losses";
    EXPECT_EQ(std::set<std::string>(received.begin(), received.end()), expected);
}

}  // namespace
