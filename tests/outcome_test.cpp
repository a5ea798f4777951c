// Outcomes: every class of failure comes back as its own Errc with a message that names the
// operation, the origin and the reason, in both forms; the non-blocking form completes
// exactly once, on the delivery thread, whatever happened. Real TLS with verification on.

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <velmora/velmora.hpp>

#include "client/outcome.hpp"
#include "transport/runtime.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testing::Reply;
using testing::TestServer;

// What one case calls: a client's configuration, the key read and the value written, and
// the servers it needs, kept alive while it runs.
struct Scene {
    ServiceConfig config;
    std::string key = "k";
    JsonValue value = 1;
    std::shared_ptr<void> servers;
};

struct FailureCase {
    const char* name;
    std::function<Scene()> make;
    Errc code;
    std::vector<std::string> words;  // besides the operation's name and the origin
    int httpStatus = 0;
};

Scene originOnly(std::string origin) { return Scene{{std::move(origin), "", 20.0}, "k", 1, nullptr}; }

std::shared_ptr<TestServer> serving(Reply reply) {
    auto server = std::make_shared<TestServer>();
    server->scriptDefault(std::move(reply));
    return server;
}

Scene sceneOf(std::shared_ptr<TestServer> server, double timeout = 20.0) {
    return Scene{{server->origin(), server->caFile(), timeout}, "k", 1, server};
}

Scene rawScene(std::function<void(int)> serve, const char* scheme = "http") {
    auto server = std::make_shared<testing::RawServer>(std::move(serve));
    return Scene{{std::string(scheme) + "://127.0.0.1:" + std::to_string(server->port()), "", 20.0}, "k", 1, server};
}

std::vector<FailureCase> failureCases() {
    return {
        {"refused", [] { return originOnly(testing::closedOrigin()); }, Errc::connect, {"cannot connect", "refused"}},
        {"unresolvable", [] { return originOnly("https://nohost.invalid"); }, Errc::resolve,
         {"not resolved", "nohost.invalid"}},
        {"untrusted_ca",
         [] {
             auto scene = sceneOf(serving({}));
             scene.config.caFile.clear();  // the system store does not know the test CA
             return scene;
         },
         Errc::tls, {"TLS", "certificate", "caFile"}},
        {"wrong_host_name",
         [] {
             auto dir = std::make_shared<testing::TempDir>();
             testing::Certificates::Options options;
             options.hostName = "service.elsewhere.test";
             options.ip = "192.0.2.1";
             const auto certs = testing::Certificates::make(dir->path(), options);
             auto server = std::make_shared<TestServer>(TestServer::Scheme::https, certs);
             return Scene{{server->origin(), certs.caFile, 20.0}, "k", 1,
                          std::make_shared<std::pair<std::shared_ptr<void>, std::shared_ptr<void>>>(dir, server)};
         },
         Errc::tls, {"TLS", "host name"}},
        {"plain_http_on_the_https_port",
         [] {
             return rawScene(
                 [](int fd) {
                     // Answers the client's TLS hello as a plain HTTP server answers bytes it cannot parse.
                     const std::string out = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
                     (void)!::write(fd, out.data(), out.size());
                 },
                 "https");
         },
         Errc::tls, {"TLS", "plain http"}},
        {"silence_past_the_timeout", [] { return sceneOf(serving({200, "", 0ms, Reply::Action::stall}), 0.5); },
         Errc::timeout, {"no data for 0.5 s"}},
        {"reset_mid_reply",
         [] {
             return rawScene([](int fd) {
                 if (!testing::readHttpRequest(fd)) return;
                 testing::sendThenReset(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"d\":");
             });
         },
         Errc::transport, {"reset"}, 200},
        {"html_500",
         [] { return sceneOf(serving({500, "<html><body>\n<h1>Internal\tError</h1></body></html>", 0ms,
                                      Reply::Action::respond, "text/html"})); },
         Errc::httpStatus, {"HTTP status 500", "not JSON", "<html><body> <h1>Internal Error</h1>"}, 500},
        {"json_500_without_d", [] { return sceneOf(serving({500, R"({"Message":"boom"})"})); }, Errc::httpStatus,
         {"HTTP status 500", "\"d\"", R"({"Message":"boom"})"}, 500},
        {"json_200_without_d", [] { return sceneOf(serving({200, R"({"e":1})"})); }, Errc::malformedReply,
         {"no ", "\"d\"", R"({"e":1})"}, 200},
        {"not_json", [] { return sceneOf(serving({200, "plain words\x01\xff", 0ms, Reply::Action::respond, "text/plain"})); },
         Errc::malformedReply, {"not JSON", "\"plain words ?\""}, 200},
        {"reply_over_the_cap",
         [] {
             return rawScene([](int fd) {
                 if (!testing::readHttpRequest(fd)) return;
                 const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n{\"d\":";
                 (void)!::write(fd, head.data(), head.size());
             });
         },
         Errc::replyTooLarge, {"larger than 64 MiB"}, 200},
        {"invalid_argument",
         [] {
             auto scene = sceneOf(serving({}));
             scene.key = "\xff";  // not UTF-8
             scene.value = std::numeric_limits<double>::quiet_NaN();
             return scene;
         },
         Errc::invalidArgument, {"not sent", "UTF-8"}},
        {"invalid_origin", [] { return originOnly("ftp://files.test"); }, Errc::invalidOrigin,
         {"not sent", "\"ftp://files.test\""}},
    };
}

// One non-blocking call's completions, and whether each ran on the delivery thread.
template <class T>
struct Completions {
    std::mutex mutex;
    std::vector<Result<T>> outcomes;
    bool allOnDeliveryThread = true;
    testing::Counter count;

    std::function<void(Result<T>)> done() {
        return [this](Result<T> outcome) {
            {
                std::lock_guard lock(mutex);
                allOnDeliveryThread = allOnDeliveryThread && detail::deliveryQueue().onDeliveryThread();
                outcomes.push_back(std::move(outcome));
            }
            count.add();
        };
    }
};

template <class T>
void expectFailure(const Result<T>& outcome, const FailureCase& c, const std::string& operation,
                   const std::string& origin) {
    ASSERT_FALSE(outcome.has_value());
    const Error& error = outcome.error();
    EXPECT_EQ(error.code, c.code) << to_string(error.code) << ": " << error.message;
    EXPECT_EQ(error.httpStatus, c.httpStatus) << error.message;
    EXPECT_THAT(error.message, HasSubstr(operation));
    EXPECT_THAT(error.message, HasSubstr(origin));
    for (const auto& word : c.words) EXPECT_THAT(error.message, HasSubstr(word));
    EXPECT_EQ(error.message.find('\n'), std::string::npos) << error.message;
}

class FailureClasses : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureClasses, AreToldApartInBothForms) {
    const FailureCase& c = GetParam();
    const Scene scene = c.make();
    const auto client = Velmora::create(scene.config);
    const std::string origin = scene.config.origin;

    Completions<bool> writes;
    Completions<StringMap> reads;
    client->write("t", "g", scene.key, scene.value, writes.done());
    client->read("t", "g", scene.key, reads.done());
    expectFailure(client->write("t", "g", scene.key, scene.value), c, "write", origin);
    expectFailure(client->read("t", "g", scene.key), c, "read", origin);

    ASSERT_TRUE(writes.count.waitFor(1, 30s));
    ASSERT_TRUE(reads.count.waitFor(1, 30s));
    // A second completion would be a fault; give one a moment to show.
    std::this_thread::sleep_for(100ms);
    std::lock_guard lockWrites(writes.mutex);
    std::lock_guard lockReads(reads.mutex);
    ASSERT_EQ(writes.outcomes.size(), 1u);
    ASSERT_EQ(reads.outcomes.size(), 1u);
    EXPECT_TRUE(writes.allOnDeliveryThread);
    EXPECT_TRUE(reads.allOnDeliveryThread);
    expectFailure(writes.outcomes.front(), c, "write", origin);
    expectFailure(reads.outcomes.front(), c, "read", origin);
}

INSTANTIATE_TEST_SUITE_P(Outcome, FailureClasses, ::testing::ValuesIn(failureCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The status is not consulted for a reply that reads as a result: the outcome is the
// result the `...Sync`/`...Async` members give, for every operation and both forms.
TEST(Outcome, AReplyThatReadsAsAResultIsOneWhateverItsStatus) {
    TestServer server;
    for (const char* path : {"/corvane.asmx/write", "/corvane.asmx/sendMessage"}) {
        server.script(path, {500, R"({"d":true})"});
    }
    for (const char* path : {"/corvane.asmx/read", "/corvane.asmx/receiveMessage", "/corvane.asmx/refreshStatus"}) {
        server.script(path, {503, R"({"d":"a|1§bare"})"});
    }
    const auto client = Velmora::create({server.origin(), server.caFile(), 20.0});
    EXPECT_EQ(client->write("t", "g", "k", 1).value(), client->writeSync("t", "g", "k", 1));
    EXPECT_TRUE(client->sendMessage("a", "b", "m").value());
    EXPECT_EQ(client->read("t", "g", "k").value(), client->readSync("t", "g", "k"));
    EXPECT_EQ(client->read("t", "g", "k").value(), (StringMap{{"a", "1"}, {"k", "bare"}}));
    EXPECT_EQ(client->receiveMessage("r").value(), (StringMap{{"a", "1"}, {"", "bare"}}));
    EXPECT_EQ(client->refreshStatus("t", "app", 5, "u", "ON", true, false).value(),
              client->status("t", "app", 5, "u", "ON", true, false));

    Completions<bool> bools;
    Completions<StringMap> maps;
    client->sendMessage("a", "b", "m", bools.done());
    client->write("t", "g", "k", "v", bools.done());
    client->receiveMessage("r", maps.done());
    client->read("t", "g", "k", maps.done());
    client->refreshStatus("t", "app", 5, "u", "ON", true, false, maps.done());
    ASSERT_TRUE(bools.count.waitFor(2));
    ASSERT_TRUE(maps.count.waitFor(3));
    std::lock_guard lockBools(bools.mutex);
    std::lock_guard lockMaps(maps.mutex);
    for (const auto& outcome : bools.outcomes) EXPECT_TRUE(outcome.value());
    for (const auto& outcome : maps.outcomes) EXPECT_EQ(outcome.value().size(), 2u);
}

// A non-blocking call holds its client: a client released with calls in flight is still
// there when their completions run.
TEST(Outcome, ACallInFlightHoldsItsClient) {
    TestServer server;
    server.scriptDefault({200, R"({"d":true})", 200ms});
    auto client = Velmora::create({server.origin(), server.caFile(), 20.0});
    const std::weak_ptr<Velmora> watched = client;
    testing::Counter done;
    std::atomic<bool> alive{false};
    client->write("t", "g", "k", 1, [&](Result<bool> outcome) {
        alive = outcome.has_value() && !watched.expired();
        done.add();
    });
    client.reset();
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_TRUE(alive.load());
    EXPECT_TRUE(testing::waitUntil([&] { return watched.expired(); }));
}

TEST(Outcome, ResultReadsLikeExpected) {
    Result<StringMap> ok(StringMap{{"a", "1"}});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->at("a"), "1");
    EXPECT_EQ(ok.value_or(StringMap{}).size(), 1u);
    Result<bool> failed(Error{Errc::timeout, "write to https://h failed: no data for 1 s", 0});
    EXPECT_FALSE(failed.has_value());
    EXPECT_TRUE(failed.value_or(true));
    EXPECT_EQ(failed.error().code, Errc::timeout);
    EXPECT_THROW((void)failed.value(), BadResultAccess);
}

TEST(Outcome, ExcerptsOfRepliesArePrintableOneLiners) {
    struct Case {
        std::string bytes;
        std::size_t limit;
        std::string expected;
    } cases[] = {
        {"plain", 80, "plain"},
        {"  a\r\n\tb  ", 80, "a b"},
        {"\x1b[31mred\x07", 80, "[31mred"},
        {"caf\xc3\xa9 \xe2\x82\xac", 80, "caf\xc3\xa9 \xe2\x82\xac"},
        {"bad \xc3 byte \xc2\x85", 80, "bad ? byte ??"},
        {std::string(100, 'x'), 10, std::string(10, 'x') + "..."},
        {std::string("nul\0in", 6), 80, "nul in"},
    };
    for (const auto& c : cases) EXPECT_EQ(detail::printableExcerpt(c.bytes, c.limit), c.expected) << c.bytes;
}

// The one line the library prints goes to the log handler, from whichever thread logs it,
// and to standard output again once the handler is cleared.
TEST(LogHandler, TakesTheLinesThatWouldGoToStandardOutput) {
    TestServer server;
    server.scriptDefault({200, "not json", 0ms, Reply::Action::respond, "text/plain"});
    const auto client = Velmora::create({server.origin(), server.caFile(), 20.0});
    std::mutex mutex;
    std::vector<std::string> lines;
    setLogHandler([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    EXPECT_EQ(client->sendMessage("a", "b", "m").error().code, Errc::malformedReply);  // the outcome form never logs
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    setLogHandler(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("parse error"));

    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(client->sendMessageSync("a", "b", "m"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), lines[0] + "\n");
}

TEST(LogHandler, CanBeReplacedWhileOtherThreadsLog) {
    TestServer server;
    server.scriptDefault({200, "not json", 0ms, Reply::Action::respond, "text/plain"});
    const auto client = Velmora::create({server.origin(), server.caFile(), 20.0});
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    setLogHandler([&](std::string_view) { ++first; });
    constexpr int kThreads = 4;
    constexpr int kCalls = 10;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) client->sendMessageSync("a", "b", "m");
            --running;
        });
    }
    for (int i = 0; running.load() > 0; ++i) {
        if (i % 2 == 0) {
            setLogHandler([&](std::string_view) { ++second; });
        } else {
            setLogHandler([&](std::string_view) { ++first; });
        }
        std::this_thread::yield();
    }
    for (auto& thread : threads) thread.join();
    setLogHandler(nullptr);
    EXPECT_EQ(first.load() + second.load(), kThreads * kCalls);
}

// Registered before the library's own exit handler, this one runs after it: it reports
// what a blocking call that was waiting when the exit began returned.
std::mutex exitMutex;
std::condition_variable exitChanged;
std::optional<std::string> blockingOutcome;

void reportBlockingOutcome() {
    std::unique_lock lock(exitMutex);
    exitChanged.wait_for(lock, 20s, [] { return blockingOutcome.has_value(); });
    std::fprintf(stderr, "blocking: %s\n", blockingOutcome.value_or("still waiting").c_str());
}

[[noreturn]] void exitWithOutcomeCallsInFlight() {
    std::atexit(reportBlockingOutcome);
    static const testing::SilentPeer peer;
    auto client = Velmora::create({peer.origin(), "", 30.0});
    for (int i = 0; i < 20; ++i) {
        client->write("t", "g", "k", 1, [](Result<bool> outcome) {
            std::fprintf(stderr, "done ran: %s\n", outcome ? "value" : std::string(to_string(outcome.error().code)).c_str());
        });
    }
    std::thread([client] {
        auto outcome = client->write("t", "g", "k", 1);
        std::lock_guard lock(exitMutex);
        blockingOutcome = outcome ? "value" : std::string(to_string(outcome.error().code));
        exitChanged.notify_all();
    }).detach();
    peer.waitForConnection(10s);
    client.reset();  // the calls in flight hold it
    std::exit(0);
}

// At exit a blocking call returns shuttingDown, and no completion runs.
TEST(OutcomeAtExit, BlockingCallsReturnShuttingDownAndNoCompletionRuns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithOutcomeCallsInFlight(), ::testing::ExitedWithCode(0),
                ::testing::AllOf(HasSubstr("blocking: shuttingDown"), ::testing::Not(HasSubstr("done ran"))));
}

}  // namespace
}  // namespace velmora
