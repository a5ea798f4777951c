#include "client/service_call.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "wire/body.hpp"
#include "wire/reply.hpp"
#include "support/targets.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using detail::Endpoint;
using testing::Reply;
using testing::TestServer;
using testing::targetOf;
using testing::closedOrigin;

const Endpoint kEndpoints[] = {Endpoint::sendMessage, Endpoint::receiveMessage, Endpoint::write, Endpoint::read,
                               Endpoint::refreshStatus};

class ServiceCall : public ::testing::Test {
protected:
    TestServer server;
};

// Every endpoint, both forms, both readings: one POST of the compact body with exactly the
// library's one header, a Content-Length, and nothing chunked or awaited.
TEST_F(ServiceCall, RequestShapeOnEveryEndpoint) {
    server.scriptDefault({200, R"({"d":"k|v"})"});
    const auto target = targetOf(server);
    testing::Counter done;
    int sent = 0;
    for (Endpoint e : kEndpoints) {
        const std::string body = *detail::BodyWriter().text("m", "\"x\" \xC3\xA9").integer("n", 7).finish();
        EXPECT_EQ(detail::callMap(target, e, body, "").at("k"), "v");
        EXPECT_TRUE(detail::callMapAsync(target, e, body, "", [&](const JsonValue& j) {
            EXPECT_EQ(j, JsonValue::parse(R"({"k":"v"})"));
            done.add();
        }));
        EXPECT_FALSE(detail::callBool(target, e, body));  // "d" is text, not a boolean
        sent += 3;
    }
    ASSERT_TRUE(done.waitFor(5));
    ASSERT_TRUE(server.waitForRequests(static_cast<std::size_t>(sent), 10s));
    const auto requests = server.requests();
    std::multiset<std::string> paths;
    for (const auto& r : requests) {
        paths.insert(r.path);
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.headers.count("content-type"), 1u);
        EXPECT_EQ(r.header("content-type"), "application/json");
        EXPECT_EQ(r.headers.count("expect"), 0u);
        EXPECT_EQ(r.headers.count("transfer-encoding"), 0u);
        EXPECT_EQ(r.headers.count("user-agent"), 0u);
        EXPECT_EQ(r.headers.count("authorization"), 0u);
        EXPECT_EQ(r.headers.count("cookie"), 0u);
        EXPECT_EQ(r.header("content-length"), std::to_string(r.body.size()));
        EXPECT_EQ(r.body, "{\"m\":\"\\\"x\\\" \xC3\xA9\",\"n\":7}");
    }
    for (Endpoint e : kEndpoints) {
        EXPECT_EQ(paths.count("/corvane.asmx/" + std::string(detail::operationName(e))), 3u);
    }
}

TEST_F(ServiceCall, LargeBodyIsSentWithoutWaitingForContinue) {
    const std::string big(300 * 1024, 'x');
    EXPECT_TRUE(detail::callBool(targetOf(server), Endpoint::write, *detail::BodyWriter().text("v", big).finish()));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    // Asking for 100-continue would cost a full second against a server that never answers
    // it. The header says so directly, where a clock would also measure a loaded machine.
    EXPECT_EQ(requests[0].headers.count("expect"), 0u);
    EXPECT_EQ(requests[0].body.size(), big.size() + 8);
}

// Blocking calls run on their callers' threads and non-blocking ones on the I/O thread, so
// each kind keeps a connection of its own; a new thread reuses the one a finished call left.
TEST_F(ServiceCall, SequentialCallsShareOneConnection) {
    const auto target = targetOf(server);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(detail::callBool(target, Endpoint::sendMessage, std::string("{}")));
    std::thread([&] { EXPECT_TRUE(detail::callBool(target, Endpoint::read, std::string("{}"))); }).join();
    EXPECT_EQ(server.connections(), 1u);
    testing::Counter done;
    for (int i = 0; i < 5; ++i) {
        detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) { done.add(); });
        ASSERT_TRUE(done.waitFor(i + 1));
    }
    EXPECT_EQ(server.requestCount(), 26u);
    EXPECT_EQ(server.connections(), 2u);
}

struct ReplyCase {
    const char* name;
    Reply reply;
    bool boolResult;
    bool boolCompletes;
    std::optional<StringMap> mapResult;  // nullopt: no map completion (and an empty blocking map)
};

class Replies : public ::testing::TestWithParam<ReplyCase> {
protected:
    TestServer server;
};

TEST_P(Replies, BothFormsReadTheSameReply) {
    const auto& c = GetParam();
    server.scriptDefault(c.reply);
    const auto target = targetOf(server);
    // Shared with the completions, which may in a failing run come after the test has ended.
    struct Seen {
        testing::Counter boolDone, mapDone;
        std::mutex mutex;
        std::optional<bool> asyncBool;
        std::optional<JsonValue> asyncMap;
    };
    auto seen = std::make_shared<Seen>();
    EXPECT_EQ(detail::callBool(target, Endpoint::write, std::string("{}")), c.boolResult);
    EXPECT_EQ(detail::callMap(target, Endpoint::read, std::string("{}"), "k"), c.mapResult.value_or(StringMap{}));
    EXPECT_TRUE(detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [seen](bool b) {
        {
            std::lock_guard lock(seen->mutex);
            seen->asyncBool = b;
        }
        seen->boolDone.add();
    }));
    EXPECT_TRUE(detail::callMapAsync(target, Endpoint::read, std::string("{}"), "k", [seen](const JsonValue& j) {
        {
            std::lock_guard lock(seen->mutex);
            seen->asyncMap = j;
        }
        seen->mapDone.add();
    }));
    ASSERT_TRUE(server.waitForRequests(4, 10s));
    EXPECT_TRUE(seen->boolDone.waitFor(c.boolCompletes ? 1 : 0));
    EXPECT_TRUE(seen->mapDone.waitFor(c.mapResult ? 1 : 0));
    // A completion that must not run gets the time a late one would need to show up.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(seen->boolDone.value(), c.boolCompletes ? 1 : 0);
    EXPECT_EQ(seen->mapDone.value(), c.mapResult ? 1 : 0);
    std::lock_guard lock(seen->mutex);
    if (c.boolCompletes) {
        EXPECT_EQ(seen->asyncBool, c.boolResult);
    }
    if (c.mapResult) {
        EXPECT_EQ(seen->asyncMap, detail::toJson(StringMap(*c.mapResult)));
    }
}

// One reply of each class through both forms: readable, readable whatever the status code,
// and unreadable. What each body reads as is the readers' own table (reply_test).
INSTANTIATE_TEST_SUITE_P(
    Table, Replies,
    ::testing::Values(
        ReplyCase{"envelope_true", {200, R"({"d":true})"}, true, true, std::nullopt},
        ReplyCase{"status_500_envelope", {500, R"({"d":true})"}, true, true, std::nullopt},
        ReplyCase{"status_500_text", {500, R"({"d":"x|1"})"}, false, false, StringMap{{"x", "1"}}},
        ReplyCase{"html", {500, "<html><body>Server Error</body></html>", {}, Reply::Action::respond, "text/html"},
                  false, false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// Exchanges that end without reply data: the blocking forms fail, the completions never run.
TEST(ServiceCallFaults, ExchangesWithoutReplyData) {
    TestServer stalling;
    stalling.scriptDefault({200, R"({"d":true})", 0ms, Reply::Action::stall});
    TestServer headersOnly;
    headersOnly.scriptDefault({200, R"({"d":true})", 0ms, Reply::Action::closeAfterHeaders});
    testing::RawServer closing([](int fd) {
        testing::readHttpRequest(fd);
        ::shutdown(fd, SHUT_RDWR);
    });
    struct Case {
        const char* name;
        std::shared_ptr<const detail::Target> target;
    } cases[] = {
        {"refused", targetOf(closedOrigin(), "")},
        {"stall_past_timeout", targetOf(stalling, 0.3)},
        {"close_after_headers", targetOf(headersOnly)},
        {"close_without_reply", targetOf(closing.origin(), "")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::Counter completions;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(detail::callBool(c.target, Endpoint::sendMessage, std::string("{}")));
        EXPECT_TRUE(detail::callMap(c.target, Endpoint::receiveMessage, std::string("{}"), "").empty());
        EXPECT_TRUE(detail::callBoolAsync(c.target, Endpoint::write, std::string("{}"), [&](bool) { completions.add(); }));
        EXPECT_TRUE(detail::callMapAsync(c.target, Endpoint::read, std::string("{}"), "",
                                         [&](const JsonValue&) { completions.add(); }));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
        EXPECT_FALSE(completions.waitFor(1, 1500ms));
    }
}

// The timeout bounds silence, not the whole exchange: a reply that keeps moving is read in
// full even when it takes several timeouts.
TEST(ServiceCallFaults, SlowButMovingReplyIsNotCutOff) {
    TestServer server;
    server.script("/corvane.asmx/read", {200, R"({"d":true})"});
    server.scriptDefault({200, R"({"d":true})", 150ms, Reply::Action::dripBody});  // ~1.5 s in all
    // A first call opens the connection, so that the timed one measures the reply alone.
    ASSERT_TRUE(detail::callBool(targetOf(server), Endpoint::read, std::string("{}")));
    EXPECT_TRUE(detail::callBool(targetOf(server, 0.6), Endpoint::write, std::string("{}")));
    EXPECT_EQ(server.connections(), 1u);
}

TEST(ServiceCallFaults, ReplyDelayedPastTimeoutIsCutOff) {
    TestServer server;
    server.scriptDefault({200, R"({"d":true})", 3000ms});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(detail::callBool(targetOf(server, 0.3), Endpoint::write, std::string("{}")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
}

TEST(ServiceCallFaults, UntrustedCertificateFailsAndSendsNoBody) {
    TestServer server;
    server.scriptDefault({200, R"({"d":true})"});
    testing::Counter completions;
    const auto target = targetOf(server.origin(), "");  // the system store does not know the test CA
    EXPECT_FALSE(detail::callBool(target, Endpoint::write, std::string("{}")));
    EXPECT_TRUE(detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) { completions.add(); }));
    EXPECT_FALSE(completions.waitFor(1, 1000ms));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ServiceCall, BlockingCallsFromTwoThreadsEachGetTheirOwnReply) {
    server.handle("/corvane.asmx/read", [](const testing::Request& r) {
        return Reply{200, JsonValue{{"d", "who|" + JsonValue::parse(r.body)["who"].get<std::string>()}}.dump(), 50ms};
    });
    const auto target = targetOf(server);
    std::vector<std::thread> threads;
    std::atomic<int> correct{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                const std::string who = std::to_string(t) + "-" + std::to_string(i);
                const auto map = detail::callMap(target, Endpoint::read, JsonValue{{"who", who}}.dump(), "");
                if (map == StringMap{{"who", who}}) ++correct;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(correct.load(), 40);
}

TEST_F(ServiceCall, ManyNonBlockingCallsCompleteOnceEachOnTheDeliveryThread) {
    server.handle("/corvane.asmx/read", [](const testing::Request& r) {
        return Reply{200, JsonValue{{"d", "id|" + JsonValue::parse(r.body)["id"].get<std::string>()}}.dump()};
    });
    const auto target = targetOf(server);
    constexpr int kCalls = 400;
    std::vector<std::atomic<int>> seen(kCalls);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    testing::Counter done;
    for (int i = 0; i < kCalls; ++i) {
        ASSERT_TRUE(detail::callMapAsync(target, Endpoint::read, JsonValue{{"id", std::to_string(i)}}.dump(), "",
                                         [&, i](const JsonValue& j) {
                                             if (j == JsonValue{{"id", std::to_string(i)}}) ++seen[i];
                                             {
                                                 std::lock_guard lock(mutex);
                                                 threads.insert(std::this_thread::get_id());
                                             }
                                             done.add();
                                         }));
    }
    ASSERT_TRUE(done.waitFor(kCalls, 60s));
    EXPECT_FALSE(done.waitFor(kCalls + 1, 300ms));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[i].load(), 1) << i;
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST_F(ServiceCall, BlockingCallInsideACompletionReturns) {
    const auto target = targetOf(server);
    testing::Counter done;
    std::atomic<bool> inner{false};
    detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) {
        inner = detail::callBool(target, Endpoint::write, std::string("{}"));
        done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_TRUE(inner.load());
}

// A completion that starts a call and then waits on a blocking one: the first is on the wire
// before the wait, so the service can see it while answering the second.
TEST_F(ServiceCall, ACallStartedInACompletionGoesOutBeforeABlockingCallThere) {
    const auto target = targetOf(server);
    auto sent = std::make_shared<std::atomic<bool>>(false);
    server.handle("/corvane.asmx/sendMessage", [sent](const testing::Request&) {
        sent->store(true);
        return Reply{200, R"({"d":true})"};
    });
    server.handle("/corvane.asmx/receiveMessage", [sent](const testing::Request&) {
        const bool seen = testing::waitUntil([&] { return sent->load(); }, 5s);
        return Reply{200, seen ? R"({"d":true})" : R"({"d":false})"};
    });
    testing::Counter done;
    std::atomic<bool> inner{false};
    detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) {
        detail::callBoolAsync(target, Endpoint::sendMessage, std::string("{}"), nullptr);
        inner = detail::callBool(target, Endpoint::receiveMessage, std::string("{}"));
        done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_TRUE(inner.load());
}

TEST_F(ServiceCall, ACompletionThatThrowsDoesNotStopDelivery) {
    const auto target = targetOf(server);
    testing::Counter done;
    detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [](bool) { throw std::runtime_error("app"); });
    detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [&](bool) { done.add(); });
    detail::callBoolAsync(target, Endpoint::write, std::string("{}"), nullptr);  // no completion: still sent
    EXPECT_TRUE(done.waitFor(1));
    EXPECT_TRUE(server.waitForRequests(3, 10s));
}

[[noreturn]] void exitWithCallsInFlight() {
    static const testing::SilentPeer peer;
    static const auto target = targetOf(peer.origin(), "", 30.0);
    for (int i = 0; i < 50; ++i) detail::callBoolAsync(target, Endpoint::write, std::string("{}"), [](bool) {});
    std::thread([] { detail::callBool(target, Endpoint::write, std::string("{}")); }).detach();
    peer.waitForConnection(10s);
    std::exit(0);
}

TEST(ServiceCallFaults, ProcessExitsCleanlyWithCallsInFlight) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithCallsInFlight(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velmora
