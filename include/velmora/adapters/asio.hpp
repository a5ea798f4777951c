#pragma once
// Boost.Asio: a thread's RunLoop served by an io_context that the thread runs, the
// non-blocking outcome members as Asio asynchronous operations, and completions brought to an
// executor. Header-only; include it where Boost.Asio is used.

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <velmora/velmora.hpp>

namespace velmora::asio {

// Attaches the calling thread's RunLoop to `io`: its ticks and posted work run inside
// `io.run()` (or `run_one`, `poll`, ...) on this thread. Run `io` on this thread only: on any
// other the loop is not served. While attached, `io.run()` does not run out of work; destroy
// the attachment, on this thread, to let it return. Throws std::runtime_error where the loop
// has no descriptor.
class Attachment {
public:
    explicit Attachment(boost::asio::io_context& io) : loop_(RunLoop::current()) {
        // A duplicate: the stream descriptor closes what it holds, the loop keeps its own.
        const int fd = loop_.descriptor() >= 0 ? ::dup(loop_.descriptor()) : -1;
        if (fd < 0) throw std::runtime_error("velmora::asio::Attachment: no run loop descriptor");
        watch_ = std::make_shared<boost::asio::posix::stream_descriptor>(io, fd);
        wait(watch_, loop_);
    }
    ~Attachment() {
        boost::system::error_code ignored;
        watch_->close(ignored);  // the pending wait ends with operation_aborted
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    static void wait(std::shared_ptr<boost::asio::posix::stream_descriptor> watch, RunLoop& loop) {
        auto& w = *watch;
        w.async_wait(boost::asio::posix::descriptor_base::wait_read,
                     [watch = std::move(watch), &loop](const boost::system::error_code& error) mutable {
                         if (error || !watch->is_open()) return;
                         loop.serveDue();
                         wait(std::move(watch), loop);
                     });
    }

    RunLoop& loop_;
    std::shared_ptr<boost::asio::posix::stream_descriptor> watch_;
};

// Wraps `f` into a completion that any thread may call; `f` then runs on `executor` (an
// io_context's executor: on the thread that runs it) with copies of the arguments. The
// io_context counts it as outstanding work until the wrapper is destroyed, so a completion
// on its way is not lost to an io_context that ran out of work.
template <class Executor, class F>
auto bringHome(const Executor& executor, F f) {
    auto work = std::make_shared<boost::asio::executor_work_guard<Executor>>(executor);
    return [executor, work = std::move(work), f = std::move(f)](auto... args) {
        boost::asio::post(executor, [f, args...]() mutable { f(std::move(args)...); });
    };
}

// A client whose non-blocking outcome members are Asio asynchronous operations: each takes a
// completion token (a callback, boost::asio::use_future, boost::asio::use_awaitable,
// boost::asio::deferred, ...) and completes with the signature void(Result<T>), once, for
// every outcome, failures included. The handler runs on its associated executor (for a
// coroutine, the coroutine's; for a plain callback, this client's executor), never on the
// library's delivery thread and never inside the initiating call. The executor counts the
// operation as outstanding work until it completes. An exchange cannot be cancelled: the
// operation ends when the exchange does (at most the client's requestTimeout of silence).
template <class Executor = boost::asio::any_io_executor>
class Client {
public:
    using executor_type = Executor;

    Client(Executor executor, std::shared_ptr<Velmora> client)
        : executor_(std::move(executor)), client_(std::move(client)) {}

    executor_type get_executor() const noexcept { return executor_; }
    Velmora& velmora() const noexcept { return *client_; }

    template <class Token>
    auto asyncSendMessage(std::string from, std::string to, std::string message, Token&& token) {
        return start<bool>(std::forward<Token>(token), [=](Velmora& c, auto done) {
            c.sendMessage(from, to, message, std::move(done));
        });
    }
    template <class Token>
    auto asyncReceiveMessage(std::string receiver, Token&& token) {
        return start<StringMap>(std::forward<Token>(token), [=](Velmora& c, auto done) {
            c.receiveMessage(receiver, std::move(done));
        });
    }
    template <class Token>
    auto asyncWrite(std::string team, std::string tag, std::string key, JsonValue value, Token&& token) {
        return start<bool>(std::forward<Token>(token), [=](Velmora& c, auto done) {
            c.write(team, tag, key, value, std::move(done));
        });
    }
    template <class Token>
    auto asyncRead(std::string team, std::string tag, std::string key, Token&& token) {
        return start<StringMap>(std::forward<Token>(token), [=](Velmora& c, auto done) {
            c.read(team, tag, key, std::move(done));
        });
    }
    template <class Token>
    auto asyncRefreshStatus(std::string team, std::string appCode, std::int64_t refreshRate, std::string userName,
                            std::string status, bool returnList, bool onlyOnlineUsers, Token&& token) {
        return start<StringMap>(std::forward<Token>(token), [=](Velmora& c, auto done) {
            c.refreshStatus(team, appCode, refreshRate, userName, status, returnList, onlyOnlineUsers,
                            std::move(done));
        });
    }

private:
    // `call(client, done)` starts the exchange; `done` takes the outcome on the delivery
    // thread and posts the handler to its executor.
    template <class T, class Token, class Call>
    auto start(Token&& token, Call call) {
        return boost::asio::async_initiate<Token, void(Result<T>)>(
            [](auto handler, std::shared_ptr<Velmora> client, Executor fallback, Call call) {
                auto executor = boost::asio::prefer(boost::asio::get_associated_executor(handler, fallback),
                                                    boost::asio::execution::outstanding_work.tracked);
                // std::function wants a copyable target; handlers (a coroutine's) may move only.
                auto shared = std::make_shared<decltype(handler)>(std::move(handler));
                call(*client, std::function<void(Result<T>)>([shared, executor](Result<T> outcome) {
                    boost::asio::post(executor, [shared, outcome = std::move(outcome)]() mutable {
                        std::move(*shared)(std::move(outcome));
                    });
                }));
            },
            token, client_, executor_, std::move(call));
    }

    Executor executor_;
    std::shared_ptr<Velmora> client_;
};

}  // namespace velmora::asio
