// The run loop served by a Boost.Asio io_context, completions brought to its executor.

#include <velmora/adapters/asio.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <cmath>
#include <future>
#include <optional>

#include "adapters/scenario.hpp"

namespace velmora {
namespace {

namespace vt = velmora::testing;
namespace net = boost::asio;
using namespace std::chrono_literals;

TEST(AsioAdapter, TicksCompletionsAndPostedWorkRunInsideIoContextRunUntilTheTimersStop) {
    vt::TestServer server;
    vt::AdapterScenario scenario(server);
    boost::asio::io_context io;
    auto attachment = std::make_unique<velmora::asio::Attachment>(io);
    boost::asio::steady_timer deadline(io, vt::AdapterScenario::kDeadline);
    deadline.async_wait([&](const boost::system::error_code& error) {
        if (!error) scenario.giveUp();
    });
    scenario.start([&](auto f) { return velmora::asio::bringHome(io.get_executor(), std::move(f)); },
                   [&] {
                       attachment.reset();
                       deadline.cancel();
                   });
    io.run();  // returns by itself: nothing is left to wait for once the timers stop
    scenario.expectEverythingSeenOnThisThread();
}

template <class T>
std::optional<Errc> codeOf(const Result<T>& outcome) {
    if (outcome) return std::nullopt;
    return outcome.error().code;
}

// The operations against the loopback service, and a client of the same kind for which every
// exchange fails (nothing listens at its origin).
class AsioOperations : public ::testing::Test {
protected:
    AsioOperations() {
        server.script("/corvane.asmx/receiveMessage", {.body = R"({"d":"ann|hello\u00a7bob|hi"})"});
        server.script("/corvane.asmx/read", {.body = R"({"d":"k|v"})"});
        server.script("/corvane.asmx/refreshStatus", {.body = R"({"d":"ann|online"})"});
    }
    template <class Executor>
    velmora::asio::Client<Executor> up(Executor ex) {
        return {ex, Velmora::create({server.origin(), server.caFile(), 20.0})};
    }
    template <class Executor>
    velmora::asio::Client<Executor> down(Executor ex) {
        return {ex, Velmora::create({vt::closedOrigin(), "", 20.0})};
    }

    vt::TestServer server;
    net::io_context io;
};

TEST_F(AsioOperations, ACoroutineAwaitsEveryOperationOnItsOwnThreadAndGetsAnErrorForAFailedExchange) {
    auto ok = up(io.get_executor());
    auto bad = down(io.get_executor());
    const auto self = std::this_thread::get_id();
    bool finished = false;
    net::co_spawn(
        io,
        [&]() -> net::awaitable<void> {
            auto sent = co_await ok.asyncSendMessage("ann", "bob", "hi", net::use_awaitable);
            EXPECT_TRUE(sent && *sent);
            EXPECT_EQ(std::this_thread::get_id(), self);
            auto messages = co_await ok.asyncReceiveMessage("bob", net::use_awaitable);
            EXPECT_EQ(messages.value_or(StringMap{}), (StringMap{{"ann", "hello"}, {"bob", "hi"}}));
            auto written = co_await ok.asyncWrite("team", "tag", "k", JsonValue("v"), net::use_awaitable);
            EXPECT_TRUE(written && *written);
            auto read = co_await ok.asyncRead("team", "tag", "k", net::use_awaitable);
            EXPECT_EQ(read.value_or(StringMap{}), (StringMap{{"k", "v"}}));
            auto users = co_await ok.asyncRefreshStatus("team", "app", 1, "ann", "online", true, false,
                                                        net::use_awaitable);
            EXPECT_EQ(users.value_or(StringMap{}), (StringMap{{"ann", "online"}}));
            EXPECT_EQ(std::this_thread::get_id(), self);

            EXPECT_EQ(codeOf(co_await bad.asyncSendMessage("ann", "bob", "hi", net::use_awaitable)), Errc::connect);
            EXPECT_EQ(codeOf(co_await bad.asyncRead("team", "tag", "k", net::use_awaitable)), Errc::connect);
            // Arguments with no JSON form: nothing is sent, and the operation still completes.
            EXPECT_EQ(codeOf(co_await ok.asyncWrite("team", "tag", "k", JsonValue(std::nan("")), net::use_awaitable)),
                      Errc::invalidArgument);
            EXPECT_EQ(std::this_thread::get_id(), self);
            finished = true;
        },
        net::detached);
    io.run();  // returns once the coroutine has ended: each operation was outstanding work
    EXPECT_TRUE(finished);
}

TEST_F(AsioOperations, UseFutureAndPlainCallbacksCompleteForSuccessAndFailure) {
    // The io_context runs on a thread of its own, as it must for a caller blocked on a future.
    auto guard = net::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    auto ok = up(io.get_executor());
    auto bad = down(io.get_executor());
    auto good = ok.asyncReceiveMessage("bob", net::use_future);
    auto failed = bad.asyncReceiveMessage("bob", net::use_future);
    ASSERT_EQ(good.wait_for(60s), std::future_status::ready);
    ASSERT_EQ(failed.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(good.get().value_or(StringMap{}).size(), 2u);
    EXPECT_EQ(codeOf(failed.get()), Errc::connect);

    // A plain callback runs on the client's executor: the io_context's thread.
    std::promise<std::pair<bool, std::thread::id>> called;
    bad.asyncSendMessage("ann", "bob", "hi", [&](Result<bool> outcome) {
        called.set_value({outcome.has_value(), std::this_thread::get_id()});
    });
    auto seen = called.get_future();
    ASSERT_EQ(seen.wait_for(60s), std::future_status::ready);
    const auto [succeeded, on] = seen.get();
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(on, runner.get_id());
    guard.reset();
    runner.join();
}

}  // namespace
}  // namespace velmora
