// The messaging and store operations, from the caller's call to the result.
#include <velmora/velmora.hpp>

#include <sys/socket.h>

#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::Reply;
using testing::TestServer;

std::shared_ptr<Velmora> clientOf(const TestServer& server, double timeout = 20.0) {
    return Velmora::create(ServiceConfig{server.origin(), server.caFile(), timeout});
}

// One operation in one form: what it sends, and what it made of the reply. A non-blocking
// form's result is what reached its completion (nullopt when it was not called).
struct Outcome {
    bool returned = false;               // the boolean returned (blocking boolean forms: the result)
    std::optional<JsonValue> delivered;  // the completion's argument, or the blocking form's result
};

struct Op {
    const char* name;
    const char* path;
    bool async;
    std::function<Outcome(Velmora&, const std::string& text, const JsonValue& value)> run;
};

// Runs a non-blocking call and waits for its completion, or for proof that none is coming
// (a later sentinel call on the same client has completed).
template <class Start>
Outcome runAsync(Velmora& client, Start start) {
    testing::Counter done;
    Outcome out;
    out.returned = start([&](const JsonValue& j) {
        out.delivered = j;
        done.add();
    });
    if (out.returned) done.waitFor(1, 5s);  // a failed exchange has no completion: bounded
    (void)client;
    return out;
}

const std::vector<Op>& ops() {
    static const std::vector<Op> all = {
        {"sendMessageSync", "/corvane.asmx/sendMessage", false,
         [](Velmora& c, const std::string& t, const JsonValue&) {
             const bool r = c.sendMessageSync(t + "-from", t + "-to", t);
             return Outcome{r, JsonValue(r)};
         }},
        {"sendMessageAsync", "/corvane.asmx/sendMessage", true,
         [](Velmora& c, const std::string& t, const JsonValue&) {
             return runAsync(c, [&](auto deliver) {
                 return c.sendMessageAsync(t + "-from", t + "-to", t, [deliver](bool b) { deliver(JsonValue(b)); });
             });
         }},
        {"receiveMessageSync", "/corvane.asmx/receiveMessage", false,
         [](Velmora& c, const std::string& t, const JsonValue&) {
             const auto m = c.receiveMessageSync(t);
             return Outcome{!m.empty(), JsonValue(m)};
         }},
        {"receiveMessageAsync", "/corvane.asmx/receiveMessage", true,
         [](Velmora& c, const std::string& t, const JsonValue&) {
             return runAsync(c, [&](auto deliver) { return c.receiveMessageAsync(t, deliver); });
         }},
        {"writeSync", "/corvane.asmx/write", false,
         [](Velmora& c, const std::string& t, const JsonValue& v) {
             const bool r = c.writeSync(t + "-team", t + "-tag", t, v);
             return Outcome{r, JsonValue(r)};
         }},
        {"writeAsync", "/corvane.asmx/write", true,
         [](Velmora& c, const std::string& t, const JsonValue& v) {
             return runAsync(c, [&](auto deliver) {
                 return c.writeAsync(t + "-team", t + "-tag", t, v, [deliver](bool b) { deliver(JsonValue(b)); });
             });
         }},
        {"readSync", "/corvane.asmx/read", false,
         [](Velmora& c, const std::string& t, const JsonValue&) {
             const auto m = c.readSync(t + "-team", t + "-tag", t);
             return Outcome{!m.empty(), JsonValue(m)};
         }},
        {"readAsync", "/corvane.asmx/read", true,
         [](Velmora& c, const std::string& t, const JsonValue&) {
             return runAsync(c, [&](auto deliver) { return c.readAsync(t + "-team", t + "-tag", t, deliver); });
         }},
    };
    return all;
}

// What each operation puts on the wire for the text argument `t` (and value `v`).
JsonValue expectedBody(const std::string& path, const std::string& t, const JsonValue& v) {
    if (path == "/corvane.asmx/sendMessage") return {{"destinatario", t + "-to"}, {"mittente", t + "-from"}, {"messaggio", t}};
    if (path == "/corvane.asmx/receiveMessage") return {{"destinatario", t}};
    if (path == "/corvane.asmx/write") return {{"gruppo", t + "-team"}, {"sottogruppo", t + "-tag"}, {"chiave", t}, {"valore", v}};
    return {{"gruppo", t + "-team"}, {"sottogruppo", t + "-tag"}, {"chiave", t}};
}

class Operations : public ::testing::TestWithParam<Op> {
protected:
    TestServer server;
};

// Texts that need escaping, and every kind of stored value, arrive exactly as given.
TEST_P(Operations, SendTheirArgumentsIntact) {
    const Op& op = GetParam();
    server.scriptDefault({200, R"({"d":true})"});
    server.script("/corvane.asmx/read", {200, R"({"d":""})"});
    server.script("/corvane.asmx/receiveMessage", {200, R"({"d":""})"});
    const auto client = clientOf(server);
    const std::vector<std::string> texts = {"", "plain", "quote\" backslash\\ slash/", std::string("ctl\n\t\x01\0end", 10),
                                            "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA7 | ~"};
    const std::vector<JsonValue> values = {"5", 5, 5.25, true, nullptr, "", JsonValue::array({1, "2", JsonValue::array()}),
                                           JsonValue::parse(R"({"a":{"b":[null,false]},"":"x"})")};
    std::vector<JsonValue> expected;
    for (std::size_t i = 0; i < std::max(texts.size(), values.size()); ++i) {
        const auto& t = texts[i % texts.size()];
        const auto& v = values[i % values.size()];
        op.run(*client, t, v);
        expected.push_back(expectedBody(op.path, t, v));
    }
    ASSERT_TRUE(server.waitForRequests(expected.size(), 10s));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), expected.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].path, op.path);
        const JsonValue body = JsonValue::parse(requests[i].body);
        EXPECT_EQ(body, expected[i]);  // nlohmann compares kinds too: "5" != 5
    }
}

// Arguments without a faithful JSON form: nothing is sent, failure is reported at once,
// and no completion runs.
TEST_P(Operations, RefuseWhatCannotBeSentFaithfully) {
    const Op& op = GetParam();
    const auto client = clientOf(server);
    const bool takesValue = std::string(op.path) == "/corvane.asmx/write";
    std::vector<std::pair<std::string, JsonValue>> bad = {{"bad\xFF", 1}, {"\xED\xA0\x80", 1}};
    if (takesValue) {
        bad.emplace_back("ok", std::nan(""));
        bad.emplace_back("ok", JsonValue::array({1, JsonValue::object({{"x", std::numeric_limits<double>::infinity()}})}));
        bad.emplace_back("ok", JsonValue::object({{"k", std::string("\xC3")}}));
    }
    for (const auto& [text, value] : bad) {
        const Outcome out = op.run(*client, text, value);
        EXPECT_FALSE(out.returned);
        if (op.async) {
            EXPECT_FALSE(out.delivered);
        } else {
            EXPECT_TRUE(out.delivered == JsonValue(false) || out.delivered == JsonValue::object());
        }
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(All, Operations, ::testing::ValuesIn(ops()),
                         [](const auto& info) { return std::string(info.param.name); });

// The queries: both forms make the same map of the same reply, with bare values under the
// key that was read and under "" for messages.
TEST(Queries, BothFormsDecodeTheSameReplyWithTheirDefaultKey) {
    TestServer server;
    const auto client = clientOf(server);
    struct Case {
        std::string d;
        StringMap read;      // read of key "k"
        StringMap received;  // message fetch
    } cases[] = {
        {"\"hello\"", {{"k", "hello"}}, {{"", "hello"}}},
        {"x|1\xC2\xA7y|p~q\xC2\xA7solo", {{"x", "1"}, {"y", "p|q"}, {"k", "solo"}}, {{"x", "1"}, {"y", "p|q"}, {"", "solo"}}},
        {"", {}, {}},
        {"\"\"", {}, {}},
        {"a\xC2\xA7" "b", {{"k", "b"}}, {{"", "b"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.d);
        server.scriptDefault({200, JsonValue{{"d", c.d}, {"other", 1}}.dump()});
        EXPECT_EQ(client->readSync("t", "g", "k"), c.read);
        EXPECT_EQ(client->receiveMessageSync("u"), c.received);
        testing::Counter done;
        JsonValue readAsync, receivedAsync;
        client->readAsync("t", "g", "k", [&](const JsonValue& j) {
            readAsync = j;
            done.add();
        });
        client->receiveMessageAsync("u", [&](const JsonValue& j) {
            receivedAsync = j;
            done.add();
        });
        ASSERT_TRUE(done.waitFor(2));  // also for an empty map
        EXPECT_EQ(readAsync, JsonValue(c.read));
        EXPECT_EQ(receivedAsync, JsonValue(c.received));
    }
}

TEST(Send, ParseErrorOfANonJsonReplyIsTheOnlyOutput) {
    TestServer server;
    const auto client = clientOf(server);
    server.scriptDefault({500, "<html>Runtime Error</html>", 0ms, Reply::Action::respond, "text/html"});
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(printed, ::testing::StartsWith("[json.exception.parse_error"));
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
    EXPECT_EQ(printed.back(), '\n');

    // Nothing else ever prints: other operations on the same reply, and sendMessageSync on
    // replies that are JSON but unreadable.
    ::testing::internal::CaptureStdout();
    testing::Counter done;
    EXPECT_FALSE(client->writeSync("t", "g", "k", 1));
    EXPECT_TRUE(client->readSync("t", "g", "k").empty());
    EXPECT_TRUE(client->receiveMessageSync("u").empty());
    client->sendMessageAsync("a", "b", "m", [&](bool) { done.add(); });
    server.scriptDefault({200, R"({"d":"true"})"});
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    server.scriptDefault({200, R"({"Message":"x"})"});
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    server.scriptDefault({200, R"([])"});
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(done.value(), 0);
}

TEST(Send, VerdictOfTheServiceIsReturnedAndDelivered) {
    TestServer server;
    const auto client = clientOf(server);
    for (bool verdict : {true, false}) {
        server.scriptDefault({200, JsonValue{{"d", verdict}}.dump()});
        EXPECT_EQ(client->sendMessageSync("a", "b", "m"), verdict);
        EXPECT_EQ(client->writeSync("t", "g", "k", "v"), verdict);
        testing::Counter done;
        std::vector<bool> got;
        std::mutex m;
        auto record = [&](bool b) {
            {
                std::lock_guard lock(m);
                got.push_back(b);
            }
            done.add();  // last: the test may end as soon as it sees the count
        };
        EXPECT_TRUE(client->sendMessageAsync("a", "b", "m", record));  // true whatever the verdict
        EXPECT_TRUE(client->writeAsync("t", "g", "k", "v", record));
        ASSERT_TRUE(done.waitFor(2));
        EXPECT_EQ(got, (std::vector<bool>{verdict, verdict}));
    }
}

TEST(Send, NoReplyDataIsAFailureNotASuccess) {
    testing::RawServer closing([](int fd) {
        testing::readHttpRequest(fd);
        ::shutdown(fd, SHUT_RDWR);
    });
    const auto client = Velmora::create(ServiceConfig{closing.origin(), "", 5.0});
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    EXPECT_FALSE(client->writeSync("t", "g", "k", 1));
}

// Blocking and non-blocking calls from many threads at once: each gets its own result, and
// every completion runs exactly once, on the one delivery thread.
TEST(Concurrency, MixedFormsFromManyThreads) {
    TestServer server;
    server.handle("/corvane.asmx/read", [](const testing::Request& r) {
        return Reply{200, JsonValue{{"d", JsonValue::parse(r.body)["chiave"].get<std::string>()}}.dump()};
    });
    server.handle("/corvane.asmx/write", [](const testing::Request& r) {
        const auto v = JsonValue::parse(r.body)["valore"];
        return Reply{200, JsonValue{{"d", v.is_number_integer() && v.get<int>() % 2 == 0}}.dump()};
    });
    const auto client = clientOf(server);
    constexpr int kThreads = 6, kCalls = 30;
    std::atomic<int> wrong{0};
    testing::Counter completions;
    std::mutex m;
    std::set<std::thread::id> deliveryThreads;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string key = std::to_string(t) + ":" + std::to_string(i);
                if (client->readSync("t", "g", key) != StringMap{{key, key}}) ++wrong;
                if (client->writeSync("t", "g", key, i) != (i % 2 == 0)) ++wrong;
                client->readAsync("t", "g", key, [&, key](const JsonValue& j) {
                    if (j != JsonValue{{key, key}}) ++wrong;
                    std::lock_guard lock(m);
                    deliveryThreads.insert(std::this_thread::get_id());
                    completions.add();
                });
                client->writeAsync("t", "g", key, i, [&, i](bool b) {
                    if (b != (i % 2 == 0)) ++wrong;
                    completions.add();
                });
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(completions.waitFor(2 * kThreads * kCalls, 60s));
    EXPECT_FALSE(completions.waitFor(2 * kThreads * kCalls + 1, 300ms));
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(deliveryThreads.size(), 1u);
}

}  // namespace
}  // namespace velmora
